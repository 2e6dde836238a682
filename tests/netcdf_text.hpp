// Reading NetCDF files back in the tests.
#pragma once

#include <netcdf.h>

#include <string>

namespace nerido::testing {

// A text attribute of variable `variable` (NC_GLOBAL for the file's) of the
// open file `id`; "" when it has none.
inline std::string text_attribute(int id, int variable, const char* name) {
  std::size_t length = 0;
  if (nc_inq_attlen(id, variable, name, &length) != NC_NOERR) {
    return "";
  }
  std::string value(length, '\0');
  nc_get_att_text(id, variable, name, value.data());
  return value;
}

}  // namespace nerido::testing
