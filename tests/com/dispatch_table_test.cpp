// The member table Invoke follows, against the type library hosts bind to:
// the same DISPIDs with the same names, result, argument count and types,
// and no optional argument (the dispatcher wants every argument it lists).
// And every public method of CQelCommCtrl is a member of _DQelComm, or is
// named below as one that automation hosts do not get.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>

#include "com_support.h"
#include "control/com/dispatch_table.h"
#include "control/com/guids.h"

namespace qelcomm::comtest {
namespace {

namespace dispatch = com::dispatch;
using dispatch::ArgType;
using dispatch::ResultType;

// Members as "Name: result(arg, arg)", in IDL spelling, by DISPID.
using Members = std::map<DISPID, std::string>;

std::string TypeName(const TYPEDESC& t) {
  switch (t.vt) {
    case VT_PTR: return TypeName(*t.lptdesc) + "*";
    case VT_I2: return "short";
    case VT_I4: return "long";
    case VT_R4: return "float";
    case VT_BSTR: return "BSTR";
    case VT_BOOL: return "VARIANT_BOOL";
    case VT_VARIANT: return "VARIANT";
    case VT_VOID: return "void";
    default: return "vt" + std::to_string(t.vt);
  }
}

std::string Narrow(BSTR b) {
  std::string s;
  for (const wchar_t* p = b; p != nullptr && *p != 0; ++p) s += static_cast<char>(*p);
  return s;
}

std::string NameOf(ITypeInfo* info, MEMBERID id) {
  BSTR name = nullptr;
  Require(info->GetDocumentation(id, &name, nullptr, nullptr, nullptr), "GetDocumentation");
  std::string s = Narrow(name);
  SysFreeString(name);
  return s;
}

std::string Method(ITypeInfo* info, const FUNCDESC& f) {
  std::string s = NameOf(info, f.memid) + ": " + TypeName(f.elemdescFunc.tdesc) + "(";
  for (SHORT i = 0; i < f.cParams; ++i) {
    const ELEMDESC& p = f.lprgelemdescParam[i];
    s += (i > 0 ? ", " : "") + TypeName(p.tdesc);
    if ((p.paramdesc.wParamFlags & PARAMFLAG_FOPT) != 0) s += " [optional]";
  }
  s += ")";
  if (f.cParamsOpt != 0) s += " with " + std::to_string(f.cParamsOpt) + " optional";
  if (f.funckind != FUNC_DISPATCH || f.invkind != INVOKE_FUNC) s += " not a dispatch method";
  return s;
}

Members FromTypeLibrary() {
  ComPtr<ITypeLib> lib;
  Require(LoadTypeLibEx(OcxPath().c_str(), REGKIND_NONE, lib.Put()), "loading the type library");
  ComPtr<ITypeInfo> info;
  Require(lib->GetTypeInfoOfGuid(DIID__DQelComm, info.Put()), "finding _DQelComm");
  TYPEATTR* attr = nullptr;
  Require(info->GetTypeAttr(&attr), "GetTypeAttr");
  Members members;
  for (UINT i = 0; i < attr->cVars; ++i) {
    VARDESC* v = nullptr;
    Require(info->GetVarDesc(i, &v), "GetVarDesc");
    members[v->memid] = NameOf(info.Get(), v->memid) + ": " + TypeName(v->elemdescVar.tdesc) +
                        (v->varkind == VAR_DISPATCH ? " property" : " not a dispatch property");
    info->ReleaseVarDesc(v);
  }
  for (UINT i = 0; i < attr->cFuncs; ++i) {
    FUNCDESC* f = nullptr;
    Require(info->GetFuncDesc(i, &f), "GetFuncDesc");
    members[f->memid] = Method(info.Get(), *f);
    info->ReleaseFuncDesc(f);
  }
  info->ReleaseTypeAttr(attr);
  return members;
}

// How the dispatcher reads each argument, as the IDL must declare it.
std::string Declared(ArgType a) {
  switch (a) {
    case ArgType::kShort: return "short";
    case ArgType::kLong:
    case ArgType::kLongAsBool: return "long";
    case ArgType::kFloat: return "float";
    case ArgType::kText: return "BSTR*";
    case ArgType::kShortOut: return "short*";
    case ArgType::kLongOut: return "long*";
    case ArgType::kFloatOut: return "float*";
    case ArgType::kPageOut: return "VARIANT*";
    case ArgType::kPageIn: return "VARIANT";
    case ArgType::kNone: break;
  }
  return "none";
}

std::string Declared(ResultType r) {
  switch (r) {
    case ResultType::kNone: return "void";
    case ResultType::kBool: return "VARIANT_BOOL";
    case ResultType::kShort: return "short";
    case ResultType::kLong: return "long";
    case ResultType::kText: return "BSTR";
  }
  return "?";
}

Members FromDispatchTable() {
  Members members;
  for (const dispatch::Member& m : dispatch::Members()) {
    // QupNOOP's result is declared short, for the hosts written against that
    // declaration, and delivered as a Boolean like every other result.
    const bool declared_short = std::string_view(m.name) == "QupNOOP" && m.result == ResultType::kBool;
    std::string s = std::string(m.name) + ": " + (declared_short ? "short" : Declared(m.result));
    if (m.property) {
      s += " property";
    } else {
      s += "(";
      for (size_t i = 0; i < dispatch::ArgCount(m); ++i) {
        s += (i > 0 ? ", " : "") + Declared(m.args[i]);
      }
      s += ")";
    }
    EXPECT_TRUE(members.emplace(m.id, s).second) << "DISPID " << m.id << " twice in the table";
  }
  return members;
}

std::string Entry(const Members& members, DISPID id) {
  const auto found = members.find(id);
  return found == members.end() ? "(none)" : found->second;
}

TEST(DispatchTable, HoldsTheTypeLibraryMembersWithTheirIdsNamesAndTypes) {
  const Members table = FromDispatchTable();
  const Members library = FromTypeLibrary();
  std::set<DISPID> ids;
  for (const auto& [id, member] : table) ids.insert(id);
  for (const auto& [id, member] : library) ids.insert(id);
  for (DISPID id : ids) {
    EXPECT_EQ(Entry(table, id), Entry(library, id)) << "DISPID " << id;
    EXPECT_EQ(dispatch::FindMember(id) != nullptr, table.count(id) == 1) << "DISPID " << id;
  }
  EXPECT_GT(library.size(), 40u);  // the check found the interface, not an empty one
}

// The public methods of CQelCommCtrl, from its header.
std::set<std::string> ControlMethods() {
  std::ifstream in(QELCOMM_SOURCE_DIR "/include/qelcomm/QelCommCtrl.h");
  std::stringstream text;
  for (std::string line; std::getline(in, line);) text << line.substr(0, line.find("//")) << ' ';
  const std::string header = text.str();
  const size_t open = header.find(" public:", header.find("class CQelCommCtrl {"));
  const std::string body = header.substr(open, header.find(" private:", open) - open);
  std::set<std::string> methods;
  const std::regex declared(R"((\w+)\s*\()");
  std::stringstream statements(body);
  for (std::string s; std::getline(statements, s, ';');) {
    std::smatch m;
    if (s.find("operator") == std::string::npos && std::regex_search(s, m, declared) &&
        m[1] != "CQelCommCtrl") {
      methods.insert(m[1]);
    }
  }
  return methods;
}

TEST(DispatchTable, HasEveryPublicMethodOfTheControl) {
  // Settings of the host's own and callbacks, which the interface never had.
  const std::set<std::string> not_automation = {"PortName", "SetPortName", "SetTrace", "Echo",
                                                "SetEcho", "Cancel", "ExtraWindowMs",
                                                "SetExtraWindowMs"};
  const std::set<std::string> methods = ControlMethods();
  ASSERT_GT(methods.size(), 40u) << "the header was not read";
  std::set<std::string> members;
  for (const dispatch::Member& m : dispatch::Members()) {
    members.insert(m.name);
    if (m.property) members.insert(std::string("Set") + m.name);
  }
  for (const std::string& method : methods) {
    EXPECT_TRUE(members.count(method) == 1 || not_automation.count(method) == 1)
        << "CQelCommCtrl::" << method << " is not in the dispatch table";
  }
  for (const std::string& name : not_automation) EXPECT_EQ(methods.count(name), 1u) << name;
  members.erase("AboutBox");  // the control's own box, not the portable control's
  for (const std::string& member : members) {
    EXPECT_EQ(methods.count(member), 1u) << member << " is not a method of CQelCommCtrl";
  }
}

}  // namespace
}  // namespace qelcomm::comtest
