#include "flightfile/netcdf_input.hpp"

#include <netcdf.h>
#include <netcdf_mem.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

namespace nerido::flightfile {
namespace {

std::string quoted(std::string_view text) {
  std::string result(1, '\'');
  result.append(text).push_back('\'');
  return result;
}

// Numbers as a list for a message: "4.74, 5.31" (up to six digits).
std::string number_list(std::span<const double> values) {
  std::string text;
  for (const double value : values) {
    std::array<char, 32> digits{};
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value,
                                   std::chars_format::general, 6);
    if (!text.empty()) {
      text.append(", ");
    }
    text.append(digits.data(), end.ptr);
  }
  return text;
}

}  // namespace

void limit_chunk_cache() noexcept {
  // The number of chunk slots (a prime, as HDF5 advises) and the preemption
  // of chunks already read whole (netCDF-C's defaults).
  constexpr std::size_t slots = 1009;
  constexpr float preemption = 0.75f;
  (void)nc_set_chunk_cache(chunk_cache_bytes, slots, preemption);
}

NetcdfInput::NetcdfInput(const std::string& path) : name_(path) {
  limit_chunk_cache();
  check(nc_open(path.c_str(), NC_NOWRITE, &id_), "cannot open it as NetCDF");
}

NetcdfInput::NetcdfInput(const std::string& name, std::span<const std::byte> bytes) : name_(name) {
  // netCDF-C takes the memory as writable but, opened NC_NOWRITE, never writes it.
  void* memory =
      const_cast<std::byte*>(bytes.data());  // NOLINT(cppcoreguidelines-pro-type-const-cast)
  check(nc_open_mem(name.c_str(), NC_NOWRITE, bytes.size(), memory, &id_),
        "cannot open it as NetCDF");
}

NetcdfInput::NetcdfInput(NetcdfInput&& other) noexcept
    : id_(std::exchange(other.id_, -1)), name_(std::move(other.name_)) {}

NetcdfInput::~NetcdfInput() {
  if (id_ >= 0) {
    nc_close(id_);
  }
}

void NetcdfInput::check(int status, std::string_view doing) const {
  if (status != NC_NOERR) {
    throw FileError(name_ + ": " + std::string(doing) + " (" + nc_strerror(status) + ")");
  }
}

std::optional<Variable> NetcdfInput::variable(std::string_view name) const {
  Variable v;
  if (nc_inq_varid(id_, std::string(name).c_str(), &v.id) != NC_NOERR) {
    return std::nullopt;
  }
  v.name = name;
  int rank = 0;
  check(nc_inq_varndims(id_, v.id, &rank), "cannot read variable " + quoted(name));
  v.dimensions.resize(static_cast<std::size_t>(rank));
  check(nc_inq_vardimid(id_, v.id, v.dimensions.data()), "cannot read variable " + quoted(name));
  return v;
}

std::vector<Variable> NetcdfInput::variables_named(std::string_view standard_name) const {
  int count = 0;
  check(nc_inq_nvars(id_, &count), "cannot list its variables");
  std::vector<Variable> found;
  std::vector<char> name(NC_MAX_NAME + 1);
  for (int id = 0; id < count; ++id) {
    check(nc_inq_varname(id_, id, name.data()), "cannot list its variables");
    auto v = variable(name.data());
    if (v && text(*v, "standard_name") == standard_name) {
      found.push_back(std::move(*v));
    }
  }
  return found;
}

std::optional<std::string> NetcdfInput::text(const Variable& v, const char* attribute) const {
  nc_type type = NC_NAT;
  std::size_t length = 0;
  if (nc_inq_att(id_, v.id, attribute, &type, &length) != NC_NOERR || type != NC_CHAR) {
    return std::nullopt;
  }
  std::string value(length, '\0');
  check(nc_get_att_text(id_, v.id, attribute, value.data()),
        about(v, "cannot read its " + std::string(attribute)));
  while (!value.empty() && (value.back() == '\0' || value.back() == ' ')) {
    value.pop_back();
  }
  return value;
}

std::vector<double> NetcdfInput::numbers(const Variable& v, const char* attribute) const {
  nc_type type = NC_NAT;
  std::size_t length = 0;
  if (nc_inq_att(id_, v.id, attribute, &type, &length) != NC_NOERR || type == NC_CHAR ||
      type == NC_STRING) {
    return {};
  }
  std::vector<double> values(length);
  check(nc_get_att_double(id_, v.id, attribute, values.data()),
        about(v, "cannot read its " + std::string(attribute)));
  return values;
}

std::string NetcdfInput::dimension_name(int dimension) const {
  std::vector<char> name(NC_MAX_NAME + 1);
  check(nc_inq_dimname(id_, dimension, name.data()), "cannot read a dimension");
  return name.data();
}

std::size_t NetcdfInput::dimension_length(int dimension) const {
  std::size_t length = 0;
  check(nc_inq_dimlen(id_, dimension, &length), "cannot read a dimension");
  return length;
}

void NetcdfInput::read(const Variable& v, std::span<const std::size_t> start,
                       std::span<const std::size_t> count, double* values) const {
  const int status = nc_get_vara_double(id_, v.id, start.data(), count.data(), values);
  // NC_ERANGE: some stored value does not fit a double; netCDF-C still
  // converts the others, and the rule's tests refuse what is left.
  if (status != NC_ERANGE) {
    check(status, about(v, "cannot read its values"));
  }
}

std::string NetcdfInput::about(const Variable& v, std::string_view what) const {
  return name_ + ": variable " + quoted(v.name) + ": " + std::string(what);
}

double ValueRule::unpacked(double stored) const noexcept {
  if (std::isnan(stored) || stored < valid_min || stored > valid_max) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  for (const double m : missing) {
    if (stored == m) {
      return std::numeric_limits<double>::quiet_NaN();
    }
  }
  return unit(stored * scale + offset);
}

float ValueRule::value(double stored) const noexcept {
  // One rounding, at the end: reading or converting in single precision
  // would round twice.
  return static_cast<float>(unpacked(stored));
}

ValueRule value_rule(const NetcdfInput& file, const Units& units, const Variable& v,
                     std::string_view unit, bool& unitless) {
  ValueRule rule;
  for (const char* attribute : {"_FillValue", "missing_value"}) {
    const auto values = file.numbers(v, attribute);
    rule.missing.insert(rule.missing.end(), values.begin(), values.end());
  }
  if (const auto range = file.numbers(v, "valid_range"); range.size() == 2) {
    rule.valid_min = range[0];
    rule.valid_max = range[1];
  }
  if (const auto low = file.numbers(v, "valid_min"); low.size() == 1) {
    rule.valid_min = low[0];
  }
  if (const auto high = file.numbers(v, "valid_max"); high.size() == 1) {
    rule.valid_max = high[0];
  }
  if (const auto scale = file.numbers(v, "scale_factor"); scale.size() == 1) {
    rule.scale = scale[0];
  }
  if (const auto offset = file.numbers(v, "add_offset"); offset.size() == 1) {
    rule.offset = offset[0];
  }
  const auto given = file.text(v, "units");
  unitless = !given.has_value();
  if (given) {
    try {
      rule.unit = units.conversion(*given, unit);
    } catch (const UnitError& error) {
      throw FileError(file.about(v, error.what()));
    }
  }
  return rule;
}

std::array<std::size_t, channel_count> match_channels(std::span<const double> frequencies_ghz,
                                                      const std::string& about_variable) {
  std::array<std::size_t, channel_count> index{};
  std::vector<double> unmatched;
  for (std::size_t c = 0; c < channel_count; ++c) {
    const double wanted = static_cast<double>(channels_ghz[c]);
    std::size_t found = frequencies_ghz.size();
    for (std::size_t i = 0; i < frequencies_ghz.size(); ++i) {
      if (std::fabs(frequencies_ghz[i] - wanted) <= channel_tolerance_ghz) {
        found = i;
      }
    }
    if (found == frequencies_ghz.size()) {
      unmatched.push_back(wanted);
    }
    index[c] = found;
  }
  if (!unmatched.empty() || frequencies_ghz.size() != channel_count) {
    std::string message = about_variable;
    message.append("its channels (").append(number_list(frequencies_ghz));
    message.append(" GHz) are not nerido's six");
    if (!unmatched.empty()) {
      message.append(" (no ").append(number_list(unmatched)).append(" GHz)");
    }
    throw FileError(message);
  }
  return index;
}

}  // namespace nerido::flightfile
