#include "flightfile/netcdf_output.hpp"

#include <netcdf.h>

#include <algorithm>
#include <cmath>

namespace nerido::flightfile {
namespace {

// Records per chunk of the record dimension: a few thousand, as flight
// files at 1 Hz are read an hour or so at a time.
constexpr std::size_t records_per_chunk = 4096;

// The CF conventions the output follows.
constexpr std::string_view conventions = "CF-1.8";

// The types the classic model stores.
bool classic_type(nc_type type) {
  return type == NC_BYTE || type == NC_CHAR || type == NC_SHORT || type == NC_INT ||
         type == NC_FLOAT || type == NC_DOUBLE;
}

void put_text(int id, int variable, const char* name, std::string_view value) {
  nc_put_att_text(id, variable, name, value.size(), value.data());
}

}  // namespace

NetcdfOutput::NetcdfOutput(const std::string& path, const std::string& name,
                           const RecordDimension& records,
                           std::span<const ComputedVariable> computed, const NetcdfInput* copy_from,
                           const std::string& history)
    : name_(name), input_(copy_from) {
  limit_chunk_cache();
  check(nc_create(path.c_str(), NC_NETCDF4 | NC_CLASSIC_MODEL | NC_NOCLOBBER, &id_),
        "cannot create it");
  check(nc_def_dim(id_, records.name.c_str(), records.unlimited ? NC_UNLIMITED : records.length,
                   &record_),
        "cannot define its record dimension");
  if (input_ != nullptr) {
    dimensions_.emplace_back(records.input_id, record_);
    define_copies(records.input_id);
  }
  copy_globals(history);
  define_computed(computed, std::clamp<std::size_t>(records.length, 1, records_per_chunk));
  check(nc_enddef(id_), "cannot define its variables");
  for (const auto& c : copied_) {
    if (!c.on_records) {
      copy_slab(c, 0, 0);
    }
  }
}

NetcdfOutput::~NetcdfOutput() {
  if (id_ >= 0) {
    nc_close(id_);
  }
}

void NetcdfOutput::check(int status, std::string_view doing) const {
  if (status != NC_NOERR) {
    throw FileError(name_ + ": " + std::string(doing) + " (" + nc_strerror(status) + ")");
  }
}

void NetcdfOutput::copy_globals(const std::string& history) {
  std::string lines;
  if (input_ != nullptr) {
    int count = 0;
    check(nc_inq_natts(input_->id(), &count), "cannot read the input's attributes");
    std::vector<char> name(NC_MAX_NAME + 1);
    for (int i = 0; i < count; ++i) {
      check(nc_inq_attname(input_->id(), NC_GLOBAL, i, name.data()),
            "cannot read the input's attributes");
      const std::string_view attribute(name.data());
      if (attribute != "history" && attribute != "Conventions") {
        nc_type type = NC_NAT;
        nc_inq_atttype(input_->id(), NC_GLOBAL, name.data(), &type);
        if (classic_type(type)) {
          check(nc_copy_att(input_->id(), NC_GLOBAL, name.data(), id_, NC_GLOBAL),
                "cannot copy the global attribute " + std::string(attribute));
        }
      }
    }
    const Variable global{.id = NC_GLOBAL, .name = "", .dimensions = {}};
    if (auto earlier = input_->text(global, "history"); earlier && !earlier->empty()) {
      lines = *earlier + "\n";
    }
  }
  put_text(id_, NC_GLOBAL, "Conventions", conventions);
  put_text(id_, NC_GLOBAL, "history", lines + history);
}

int NetcdfOutput::output_dimension(int dimension_in) {
  for (const auto& [in, out] : dimensions_) {
    if (in == dimension_in) {
      return out;
    }
  }
  int out = -1;
  const std::string name = input_->dimension_name(dimension_in);
  check(nc_def_dim(id_, name.c_str(), input_->dimension_length(dimension_in), &out),
        "cannot define the dimension " + name);
  dimensions_.emplace_back(dimension_in, out);
  return out;
}

void NetcdfOutput::define_copies(int record_in) {
  int count = 0;
  check(nc_inq_nvars(input_->id(), &count), "cannot list the input's variables");
  std::vector<char> name(NC_MAX_NAME + 1);
  std::vector<std::string> coordinates;
  for (int id = 0; id < count; ++id) {
    check(nc_inq_varname(input_->id(), id, name.data()), "cannot list the input's variables");
    const auto v = input_->variable(name.data());
    if (!v || v->dimensions.empty() || v->dimensions.front() != record_in) {
      continue;
    }
    define_copy(*v, record_in);
    // Its coordinate variables: one per dimension, and those it names.
    for (const int d : v->dimensions) {
      coordinates.push_back(input_->dimension_name(d));
    }
    if (const auto named = input_->text(*v, "coordinates")) {
      for (std::size_t at = 0; at < named->size();) {
        const std::size_t end = std::min(named->find(' ', at), named->size());
        coordinates.push_back(named->substr(at, end - at));
        at = end + 1;
      }
    }
  }
  for (const auto& coordinate : coordinates) {
    const bool copied = std::any_of(copied_.begin(), copied_.end(),
                                    [&](const Copied& c) { return c.in.name == coordinate; });
    if (const auto v = input_->variable(coordinate); v && !copied) {
      define_copy(*v, record_in);
    }
  }
}

void NetcdfOutput::define_copy(const Variable& v, int record_in) {
  Copied c{.in = v};
  c.on_records = !v.dimensions.empty() && v.dimensions.front() == record_in;
  nc_type type = NC_NAT;
  check(nc_inq_vartype(input_->id(), v.id, &type), "cannot read the input's variable " + v.name);
  if (type == NC_STRING || type > NC_STRING) {
    return;  // text of netCDF-4 strings and user types: the classic model has no place for them
  }
  c.as_double = !classic_type(type);
  if (c.as_double) {
    type = NC_DOUBLE;
  }
  check(nc_inq_type(id_, type, nullptr, &c.element_size), "cannot size a type");
  std::vector<int> dims;
  for (const int d : v.dimensions) {
    dims.push_back(output_dimension(d));
  }
  check(nc_def_var(id_, v.name.c_str(), type, static_cast<int>(dims.size()), dims.data(), &c.out),
        "cannot define the variable " + v.name);
  if (c.on_records) {
    // Chunks of records_per_chunk records, as the computed variables.
    std::vector<std::size_t> chunks{records_per_chunk};
    for (std::size_t i = 1; i < v.dimensions.size(); ++i) {
      chunks.push_back(std::max<std::size_t>(1, input_->dimension_length(v.dimensions[i])));
    }
    chunks[0] = std::min(chunks[0], std::max<std::size_t>(1, input_->dimension_length(record_in)));
    check(nc_def_var_chunking(id_, c.out, NC_CHUNKED, chunks.data()),
          "cannot chunk the variable " + v.name);
  }
  copy_attributes(c);
  copied_.push_back(std::move(c));
}

void NetcdfOutput::copy_attributes(const Copied& c) {
  int count = 0;
  check(nc_inq_varnatts(input_->id(), c.in.id, &count),
        "cannot read the attributes of " + c.in.name);
  std::vector<char> name(NC_MAX_NAME + 1);
  for (int i = 0; i < count; ++i) {
    check(nc_inq_attname(input_->id(), c.in.id, i, name.data()),
          "cannot read the attributes of " + c.in.name);
    nc_type type = NC_NAT;
    std::size_t length = 0;
    nc_inq_att(input_->id(), c.in.id, name.data(), &type, &length);
    if (classic_type(type) && !c.as_double) {
      check(nc_copy_att(input_->id(), c.in.id, name.data(), id_, c.out),
            "cannot copy the attributes of " + c.in.name);
    } else if (type != NC_CHAR && type < NC_STRING) {
      const auto values = input_->numbers(c.in, name.data());
      check(nc_put_att_double(id_, c.out, name.data(), NC_DOUBLE, values.size(), values.data()),
            "cannot copy the attributes of " + c.in.name);
    }
  }
}

void NetcdfOutput::define_computed(std::span<const ComputedVariable> computed, std::size_t chunk) {
  const bool channels = std::any_of(computed.begin(), computed.end(), [](const auto& c) {
    return c.shape == ComputedVariable::Shape::record_channel;
  });
  int frequency = -1;
  if (channels) {
    // The input may have a channel dimension of its own (its Tb).
    int taken = -1;
    const char* name =
        nc_inq_dimid(id_, "channel", &taken) == NC_NOERR ? "nerido_channel" : "channel";
    check(nc_def_dim(id_, name, channel_count, &channel_), "cannot define the channel dimension");
    check(nc_def_var(id_, name, NC_FLOAT, 1, &channel_, &frequency),
          "cannot define the channel variable");
    put_text(id_, frequency, "units", "GHz");
    put_text(id_, frequency, "standard_name", "sensor_band_central_radiation_frequency");
    put_text(id_, frequency, "long_name", "central frequency of the radiometer's channel");
  }
  for (const auto& c : computed) {
    int existing = -1;
    if (nc_inq_varid(id_, c.name.c_str(), &existing) == NC_NOERR) {
      throw FileError(name_ + ": the input has a variable '" + c.name + "' already");
    }
    const bool with_channel = c.shape == ComputedVariable::Shape::record_channel;
    const int dims[] = {record_, channel_};
    const nc_type type = c.type == ComputedVariable::Type::flag ? NC_BYTE : NC_FLOAT;
    int id = -1;
    check(nc_def_var(id_, c.name.c_str(), type, with_channel ? 2 : 1, dims, &id),
          "cannot define the variable " + c.name);
    const std::size_t chunks[] = {chunk, channel_count};
    check(nc_def_var_chunking(id_, id, NC_CHUNKED, chunks), "cannot chunk the variable " + c.name);
    if (type == NC_BYTE) {
      check(nc_def_var_fill(id_, id, 0, &no_flag), "cannot define the fill of " + c.name);
      check(nc_put_att_schar(id_, id, "flag_values", NC_BYTE, c.flag_values.size(),
                             c.flag_values.data()),
            "cannot define the flags of " + c.name);
    } else {
      const float fill = NC_FILL_FLOAT;
      check(nc_def_var_fill(id_, id, 0, &fill), "cannot define the fill of " + c.name);
    }
    for (const auto& [name, value] : c.attributes) {
      put_text(id_, id, name.c_str(), value);
    }
    computed_.push_back(id);
  }
  if (channels) {
    check(nc_enddef(id_), "cannot define its variables");
    const std::size_t start = 0;
    const std::size_t count = channel_count;
    check(nc_put_vara_float(id_, frequency, &start, &count, channels_ghz.data()),
          "cannot write the channels");
    check(nc_redef(id_), "cannot define its variables");
  }
}

void NetcdfOutput::copy_slab(const Copied& c, std::size_t start, std::size_t count) {
  std::vector<std::size_t> starts(c.in.dimensions.size(), 0);
  std::vector<std::size_t> counts;
  std::size_t elements = 1;
  for (std::size_t i = 0; i < c.in.dimensions.size(); ++i) {
    counts.push_back(input_->dimension_length(c.in.dimensions[i]));
  }
  if (c.on_records) {
    starts[0] = start;
    counts[0] = count;
  }
  for (const std::size_t n : counts) {
    elements *= n;
  }
  buffer_.resize(elements * c.element_size);
  if (c.as_double) {
    auto* values = reinterpret_cast<double*>(buffer_.data());  // NOLINT: sized for doubles above
    check(nc_get_vara_double(input_->id(), c.in.id, starts.data(), counts.data(), values),
          "cannot read the input's variable " + c.in.name);
    check(nc_put_vara_double(id_, c.out, starts.data(), counts.data(), values),
          "cannot write the variable " + c.in.name);
  } else {
    check(nc_get_vara(input_->id(), c.in.id, starts.data(), counts.data(), buffer_.data()),
          "cannot read the input's variable " + c.in.name);
    check(nc_put_vara(id_, c.out, starts.data(), counts.data(), buffer_.data()),
          "cannot write the variable " + c.in.name);
  }
}

void NetcdfOutput::copy_records(std::size_t start, std::size_t count) {
  for (const auto& c : copied_) {
    if (c.on_records) {
      copy_slab(c, start, count);
    }
  }
}

void NetcdfOutput::write(std::size_t index, std::size_t start, std::size_t count,
                         std::span<const float> values) {
  std::vector<float> stored(values.begin(), values.end());
  for (float& value : stored) {
    if (std::isnan(value)) {
      value = NC_FILL_FLOAT;
    }
  }
  const std::size_t starts[] = {start, 0};
  const std::size_t counts[] = {count, channel_count};
  check(nc_put_vara_float(id_, computed_.at(index), starts, counts, stored.data()),
        "cannot write its results");
}

void NetcdfOutput::write_flags(std::size_t index, std::size_t start, std::size_t count,
                               std::span<const signed char> flags) {
  const std::size_t starts[] = {start};
  const std::size_t counts[] = {count};
  check(nc_put_vara_schar(id_, computed_.at(index), starts, counts, flags.data()),
        "cannot write its results");
}

void NetcdfOutput::close() {
  const int id = id_;
  id_ = -1;
  check(nc_close(id), "cannot write it");
}

}  // namespace nerido::flightfile
