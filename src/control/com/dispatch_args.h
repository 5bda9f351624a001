// Between the host's variants and a member's Args: locating positional and
// named arguments, converting them with the platform's DispGetParam, and
// writing outputs and results back. Refusals are the standard dispatch
// errors with the rgvarg index in arg_err; a VemoPut page that cannot be
// read throws std::invalid_argument, which the caller reports as an
// exception with a description.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "control/com/dispatch_table.h"

namespace qelcomm::com::dispatch {

// Every one of `count` arguments must be given exactly once, and named
// arguments must name argument positions after the positional ones.
HRESULT CheckArguments(const DISPPARAMS& params, size_t count, UINT& arg_err);

// Converts the member's arguments (checked by CheckArguments) into `args`.
HRESULT ReadArguments(const Member& member, const DISPPARAMS& params, Args& args,
                      UINT& arg_err);

// A property's new value: the one argument named DISPID_PROPERTYPUT.
HRESULT ReadPutValue(const DISPPARAMS& params, VARTYPE type, int32_t& value, UINT& arg_err);

// Hands the outputs of a successful call back to the host's variables,
// skipping those it left unreached.
void WriteOutputs(const Member& member, const Args& args);

void SetResult(ResultType type, const Value& value, VARIANT& result);

// UTF-16 up to its first NUL, in the ANSI code page; and back.
std::string ToAnsi(const wchar_t* text, size_t length);
BSTR ToBstr(const std::string& text);  // throws std::bad_alloc

}  // namespace qelcomm::com::dispatch
