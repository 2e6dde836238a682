#include "flightfile/units.hpp"

#include <udunits2.h>

#include <algorithm>
#include <array>
#include <memory>

namespace nerido::flightfile {
namespace {

// How files write practical salinity (PSS-78, dimensionless): "psu" by
// habit, "1e-3" as CF's sea_water_salinity has it,
// "1" and "0.001" as older files do. All mean the number nerido takes as it
// stands.
constexpr std::array<std::string_view, 5> salinity_spellings{"psu", "PSU", "1e-3", "0.001", "1"};

// The unit `text` stands for, or nothing when UDUNITS-2 cannot read it.
std::unique_ptr<ut_unit, decltype(&ut_free)> parse(ut_system* system, std::string_view text) {
  const std::string copy(text);
  return {ut_parse(system, copy.c_str(), UT_UTF8), &ut_free};
}

std::string quoted(std::string_view text) {
  std::string result(1, '\'');
  result.append(text).push_back('\'');
  return result;
}

}  // namespace

double Conversion::operator()(double value) const noexcept {
  return converter_ ? cv_convert_double(converter_.get(), value) : value;
}

Units::Units() {
  ut_set_error_message_handler(ut_ignore);
  system_ = ut_read_xml(nullptr);
  if (system_ == nullptr) {
    throw std::runtime_error(
        "cannot read the UDUNITS-2 unit database (Debian package libudunits2-data; or "
        "UDUNITS2_XML_PATH)");
  }
}

Units::~Units() { ut_free_system(system_); }

Conversion Units::conversion(std::string_view from, std::string_view to) const {
  if (to != "1" && std::find(salinity_spellings.begin(), salinity_spellings.end(), to) !=
                       salinity_spellings.end()) {
    if (std::find(salinity_spellings.begin(), salinity_spellings.end(), from) ==
        salinity_spellings.end()) {
      throw UnitError("unit " + quoted(from) + " is not one of practical salinity's (psu, PSU, " +
                      "1e-3, 0.001, 1)");
    }
    return {};
  }
  const auto source = parse(system_, from);
  if (!source) {
    throw UnitError("unit " + quoted(from) + " is not a unit UDUNITS-2 knows");
  }
  const auto target = parse(system_, to);
  if (!target) {
    throw UnitError("unit " + quoted(to) + " is not a unit UDUNITS-2 knows");
  }
  if (ut_are_convertible(source.get(), target.get()) == 0) {
    throw UnitError("unit " + quoted(from) + " does not convert to " + quoted(to));
  }
  if (ut_compare(source.get(), target.get()) == 0) {
    return {};
  }
  cv_converter* converter = ut_get_converter(source.get(), target.get());
  if (converter == nullptr) {
    throw UnitError("unit " + quoted(from) + " does not convert to " + quoted(to));
  }
  return Conversion(std::shared_ptr<cv_converter>(converter, &cv_free));
}

}  // namespace nerido::flightfile
