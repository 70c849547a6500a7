// Parses a parameter list as it follows "exec master..mailquarry":
// 'text' (SQL quoting, '' is one quote) is a varchar, a decimal integer with
// an optional sign is an int, NULL (any case) is an int without data.
// Literals are separated by commas; an empty list has no parameters.
#ifndef MAILQUARRY_HOST_PARAMS_H
#define MAILQUARRY_HOST_PARAMS_H

#include <string>
#include <vector>

#include "host/call.h"

namespace host {

// False with a reason in `error` when the list does not parse.
bool ParseParams(const std::string& text, std::vector<Param>* params, std::string* error);

}  // namespace host

#endif
