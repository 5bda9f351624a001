// Reading a parameter set, dumped or edited by hand, one way.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <nlohmann/json.hpp>

#include "qelcomm/parameter_set.h"

namespace qelcomm::params {
namespace {
namespace reg = registers;
using json = nlohmann::json;

[[noreturn]] void Refuse(const std::string& why) { throw ParameterSetError(why); }

// Where the parser stopped, as an editor shows it.
std::string SyntaxError(const std::string& text, const std::string& file,
                        const json::parse_error& e) {
  if (std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c); })) {
    return file + " is empty";
  }
  if (e.byte >= text.size()) return file + " ends before its JSON does: cut off?";
  const std::string before = text.substr(0, e.byte == 0 ? 0 : e.byte - 1);
  const size_t line_start = before.rfind('\n');
  const size_t line = 1 + size_t(std::count(before.begin(), before.end(), '\n'));
  const size_t column = before.size() - (line_start == std::string::npos ? 0 : line_start + 1) + 1;
  return file + " line " + std::to_string(line) + ", column " + std::to_string(column) +
         ": not valid JSON";
}

// An integer given as 50 or 50.0; empty for anything else.
std::optional<int64_t> WholeNumber(const json& j) {
  if (j.is_number_integer()) return j.get<int64_t>();
  if (!j.is_number_float()) return std::nullopt;
  const double d = j.get<double>();
  if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 9.0e15) return std::nullopt;
  return int64_t(d);
}

// The factor sets the file's values were written in.
reg::ExactFactors FactorsOf(const json& doc, reg::ExactFactors factors) {
  const json* f = doc.contains("factors") ? &doc["factors"] : nullptr;
  if (f == nullptr || !f->is_object()) return factors;
  auto take = [f](const char* name, double& into) {
    const json& v = f->value(name, json());
    if (v.is_number() && std::isfinite(v.get<double>()) && v.get<double>() != 0) {
      into = v.get<double>();
    }
  };
  take("position", factors.position);
  take("acceleration", factors.acceleration);
  take("velocity", factors.velocity);
  return factors;
}

int32_t Checked(const reg::CheckedRaw& c, const std::string& where) {
  if (!c.ok()) Refuse(where + ": " + c.Why());
  return c.raw;
}

reg::Register EntryRegister(const json& item, const std::string& where, bool big) {
  const std::optional<int64_t> number =
      item.contains("number") ? WholeNumber(item["number"]) : std::nullopt;
  const std::optional<reg::Register> r =
      number ? reg::RegisterByNumber(big, int(std::clamp<int64_t>(*number, -1, 1 << 20)))
             : std::nullopt;
  if (!r) Refuse(where + " has no register number a motor has");
  if (item.contains("name") && !item["name"].is_null() &&
      !(item["name"].is_string() &&
        reg::EqualIgnoringCase(item["name"].get<std::string>(), r->name))) {
    Refuse(where + ": name " + item["name"].dump() + " is not register " +
           std::to_string(*number) + "'s (" + (r->name.empty() ? "unlisted" : r->name) + ")");
  }
  return *r;
}

// An entry's "value": in units where the register is scaled, else raw.
int32_t FromValue(const json& v, const reg::Register& r, const std::string& at,
                  const reg::ExactFactors& factors) {
  if (!v.is_number()) Refuse(at + ": value " + v.dump() + " is not a number");
  if (r.Scaled()) return Checked(reg::UnitsToRaw(v.get<double>(), r, factors), at);
  const auto n = WholeNumber(v);
  if (!n) Refuse(at + ": value " + v.dump() + " is not an integer");
  return Checked(reg::CheckRaw(*n, r, factors), at);
}

Entry ParseEntry(const json& item, const std::string& where, bool big,
                 const reg::ExactFactors& factors) {
  if (!item.is_object()) Refuse(where + " is not an object");
  const reg::Register r = EntryRegister(item, where, big);
  const std::string at = where + " (" + r.Label() + ")";
  std::optional<int32_t> raw, from_value;
  if (item.contains("raw")) {
    const auto n = WholeNumber(item["raw"]);
    if (!n) Refuse(at + ": raw " + item["raw"].dump() + " is not an integer");
    raw = Checked(reg::CheckRaw(*n, r, factors), at);
  }
  if (item.contains("value")) from_value = FromValue(item["value"], r, at, factors);
  if (raw && from_value && *raw != *from_value) {
    Refuse(at + ": raw " + std::to_string(*raw) + " and value " + item["value"].dump() +
           " (raw " + std::to_string(*from_value) + ") disagree");
  }
  if (!raw && !from_value) Refuse(at + " has neither raw nor value");
  return {r, raw ? *raw : *from_value};
}

}  // namespace

ParameterSet ParseParameterSet(const std::string& text, const std::string& file, bool big,
                               const reg::ExactFactors& factors) {
  json doc;
  try {
    doc = json::parse(text);
  } catch (const json::parse_error& e) {
    Refuse(SyntaxError(text, file, e));
  } catch (const json::out_of_range&) {  // a number beyond double's range
    Refuse(file + " holds a number too large to read");
  }
  if (!doc.is_object() || !doc.contains("registers") || !doc["registers"].is_array()) {
    Refuse(file + " is not a dump (no \"registers\" list)");
  }
  ParameterSet out;
  if (const json& t = doc.value("table", json()); t == "big" || t == "standard") {
    out.big = t == "big";
  }
  if (out.big && *out.big != big) return out;  // PlanRestore refuses it as it is
  if (doc.contains("address") && doc["address"].is_number_integer()) {
    out.address = doc["address"].get<int>();
  }
  const reg::ExactFactors in_file = FactorsOf(doc, factors);
  const json& regs = doc["registers"];
  for (size_t i = 0; i < regs.size(); ++i) {
    if (regs[i].is_object() && regs[i].contains("error")) continue;  // not read by dump
    out.entries.push_back(
        ParseEntry(regs[i], file + ": entry " + std::to_string(i + 1), big, in_file));
  }
  return out;
}

}  // namespace qelcomm::params
