#include "batch/io/netcdf.hpp"

#include <netcdf.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "batch/cmd/commands.hpp"
#include "batch/errors.hpp"
#include "batch/io/text.hpp"
#include "nerido/nerido.hpp"
#include "nerido/outputs.hpp"

namespace nerido::batch {
namespace {

using flightfile::ComputedVariable;

// The unit of measured Tb: that of the computed ones.
constexpr std::string_view tb_units = brightness_temperature_output.cf_units;
// Times: seconds since the Unix epoch, in UTC.
constexpr std::string_view epoch_units = "seconds since 1970-01-01 00:00:00 UTC";
// The unit the channel coordinate is converted to.
constexpr std::string_view frequency_units = "GHz";

std::optional<SceneField> scene_field(std::string_view name) {
  for (std::size_t i = 0; i < field_count; ++i) {
    if (field_range(static_cast<SceneField>(i)).name == name) {
      return static_cast<SceneField>(i);
    }
  }
  return std::nullopt;
}

std::optional<std::size_t> tb_channel(std::string_view name) {
  const auto& names = tb_columns();
  const auto found = std::find(names.begin(), names.end(), name);
  return found == names.end() ? std::nullopt
                              : std::optional(static_cast<std::size_t>(found - names.begin()));
}

std::string in_quotes(std::string_view text) {
  std::string result(1, '\'');
  result.append(text).push_back('\'');
  return result;
}

// The column of the retrieval's status, and its statuses in order.
constexpr std::string_view status_column = retrieval_outputs.back().name;
constexpr int status_count = retrieval_status_count;

// A status's name, as the retrieval writes it (nothing in a build without
// the retrieval, which has no status column).
std::string_view status_text(int status) {
#if NERIDO_HAVE_RETRIEVAL
  return status_name(static_cast<RetrievalStatus>(status));
#else
  (void)status;
  return {};
#endif
}

void add_attribute(ComputedVariable& v, std::string_view name, std::string_view value) {
  if (!value.empty()) {
    v.attributes.emplace_back(name, value);
  }
}

// The CF attributes of a result.
void describe(ComputedVariable& v, const OutputField& output) {
  add_attribute(v, "units", output.cf_units);
  add_attribute(v, "standard_name", output.standard_name);
  add_attribute(v, "long_name", output.long_name);
  add_attribute(v, "ancillary_variables", output.ancillary);
}

}  // namespace

struct NetcdfSource::Column {
  flightfile::Variable variable;
  flightfile::ValueRule rule;
  std::size_t channel = 0;   // index along the second dimension of a (record, channel) variable
  std::size_t channels = 1;  // that dimension's length; 1 for a variable on the records alone
  bool raw = false;          // passed through as stored
  bool time = false;         // a CF time ("UNIT since DATE"), in seconds since 1970, as text
  std::vector<double> values;
};

flightfile::NetcdfInput NetcdfSource::open(const std::string& path) {
  try {
    return flightfile::NetcdfInput(path);
  } catch (const flightfile::FileError& error) {
    throw DataError(error.what());
  }
}

NetcdfSource::NetcdfSource(flightfile::NetcdfInput file, std::span<const std::string> wanted,
                           const FieldMap& map, const std::function<void(const std::string&)>& note,
                           std::span<const std::string> optional)
    : file_(std::move(file)) {
  try {
    std::vector<std::string> unitless;
    // The variable of a field: --map's, the field's own name, its CF name.
    const auto find = [&](const std::string& field) -> std::optional<flightfile::Variable> {
      if (const auto mapped = map.find(field); mapped != map.end()) {
        auto v = file_.variable(mapped->second);
        if (!v) {
          throw DataError(file_.name() + ": no variable " + in_quotes(mapped->second) + " (--map " +
                          field + "=" + mapped->second + ")");
        }
        return v;
      }
      if (auto v = file_.variable(field)) {
        return v;
      }
      const auto scene = scene_field(field);
      const std::string_view standard = scene ? field_range(*scene).standard_name : "";
      if (standard.empty()) {
        return std::nullopt;
      }
      auto named = file_.variables_named(standard);
      if (named.size() > 1) {
        throw DataError(file_.name() + ": several variables are " + std::string(standard) +
                        "; choose one with --map " + field + "=NAME");
      }
      return named.empty() ? std::nullopt : std::optional(std::move(named.front()));
    };
    // The record dimension: that of the first scene field's variable.
    for (const auto& field : wanted) {
      if (const auto v = scene_field(field) ? find(field) : std::nullopt;
          v && v->dimensions.size() == 1 && record_dimension_ < 0) {
        record_dimension_ = v->dimensions.front();
        record_count_ = file_.dimension_length(record_dimension_);
      }
    }
    const auto bind = [&](Column& c, std::string_view unit, std::size_t rank) {
      if (record_dimension_ < 0 && c.variable.dimensions.size() == rank) {
        record_dimension_ = c.variable.dimensions.front();
        record_count_ = file_.dimension_length(record_dimension_);
      }
      if (c.variable.dimensions.size() != rank ||
          c.variable.dimensions.front() != record_dimension_) {
        std::string has;
        for (const int d : c.variable.dimensions) {
          has.append(has.empty() ? "" : ", ").append(file_.dimension_name(d));
        }
        const std::string records =
            record_dimension_ < 0 ? "record" : file_.dimension_name(record_dimension_);
        throw DataError(file_.about(c.variable, "its dimensions are (" + has + "), not (" +
                                                    records + (rank == 2 ? ", channel)" : ")")));
      }
      bool no_units = false;
      c.rule = flightfile::value_rule(file_, units_, c.variable, unit, no_units);
      if (no_units) {
        unitless.push_back(c.variable.name);
      }
    };
    // All six channels from one (record, channel) variable, when the file has one.
    std::optional<flightfile::Variable> all_channels;
    std::array<std::size_t, channel_count> channel_index{};
    if (std::any_of(wanted.begin(), wanted.end(), [](const auto& w) { return tb_channel(w); })) {
      all_channels = find(std::string(all_channels_field));
      if (all_channels && all_channels->dimensions.size() == 2) {
        const auto coordinate = file_.variable(file_.dimension_name(all_channels->dimensions[1]));
        if (!coordinate) {
          throw DataError(file_.about(*all_channels,
                                      "its channel dimension has no coordinate "
                                      "variable of frequencies"));
        }
        bool no_units = false;
        const auto rule =
            flightfile::value_rule(file_, units_, *coordinate, frequency_units, no_units);
        const std::size_t count = file_.dimension_length(all_channels->dimensions[1]);
        if (count != channel_count || coordinate->dimensions.size() != 1) {
          throw DataError(file_.about(
              *all_channels, "its channel dimension has " + std::to_string(count) +
                                 " channels, not nerido's " + std::to_string(channel_count)));
        }
        std::vector<double> frequencies(count);
        const std::size_t start = 0;
        file_.read(*coordinate, std::span(&start, 1), std::span(&count, 1), frequencies.data());
        for (double& f : frequencies) {
          f = rule.unit(f);
        }
        channel_index = flightfile::match_channels(frequencies, file_.about(*all_channels, ""));
      }
    }
    std::vector<std::string> fields(wanted.begin(), wanted.end());
    fields.insert(fields.end(), optional.begin(), optional.end());
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const std::string& field = fields[i];
      Column c;
      const auto channel = tb_channel(field);
      const auto own = find(field);
      if (!own && i >= wanted.size()) {
        continue;  // an optional field the file does not have
      }
      if (channel && !own && all_channels) {
        c.variable = *all_channels;
        bind(c, tb_units, 2);
        c.channel = channel_index[*channel];
        c.channels = channel_count;
      } else if (own && (channel || scene_field(field))) {
        c.variable = *own;
        const auto scene = scene_field(field);
        bind(c, scene ? field_range(*scene).cf_units : tb_units, 1);
      } else if (own) {
        // Not one of nerido's fields (a picture's x): as stored.
        c.variable = *own;
        c.raw = true;
      } else {
        std::string message = file_.name();
        message.append(": no variable for ").append(field).append(" (name one with --map ");
        message.append(field).append("=NAME)");
        throw DataError(message);
      }
      names_.push_back(field);
      columns_.push_back(std::move(c));
    }
    if (!unitless.empty() && note) {
      std::string list;
      for (const auto& name : unitless) {
        list.append(list.empty() ? "" : ", ").append(in_quotes(name));
      }
      note(file_.name() + ": no units on " + list + ": taken in nerido's units");
    }
    // The other variables on the records pass through as stored.
    int count = 0;
    nc_inq_nvars(file_.id(), &count);
    std::vector<char> name(NC_MAX_NAME + 1);
    for (int id = 0; id < count; ++id) {
      nc_inq_varname(file_.id(), id, name.data());
      auto v = file_.variable(name.data());
      nc_type type = NC_NAT;
      nc_inq_vartype(file_.id(), id, &type);
      const bool used = std::any_of(columns_.begin(), columns_.end(),
                                    [&](const Column& c) { return c.variable.id == id; });
      const bool named = std::find(names_.begin(), names_.end(), v->name) != names_.end();
      if (!used && !named && type != NC_CHAR && type < NC_STRING && v->dimensions.size() == 1 &&
          v->dimensions.front() == record_dimension_) {
        Column c;
        c.variable = std::move(*v);
        c.raw = true;
        names_.push_back(c.variable.name);
        columns_.push_back(std::move(c));
      }
    }
    // CF times ("seconds since 2026-09-01 12:00") read as UTC times.
    for (auto& c : columns_) {
      const auto units = c.raw ? file_.text(c.variable, "units") : std::nullopt;
      if (units && units->find(" since ") != std::string::npos) {
        bool no_units = false;
        c.rule = flightfile::value_rule(file_, units_, c.variable, epoch_units, no_units);
        c.time = true;
        c.raw = false;
      }
    }
  } catch (const flightfile::FileError& error) {
    throw DataError(error.what());
  }
}

NetcdfSource::~NetcdfSource() = default;

std::string NetcdfSource::where(std::uint64_t line) const {
  return file_.name() + ": record " + std::to_string(line == 0 ? 0 : line - 1);
}

flightfile::RecordDimension NetcdfSource::records() const {
  int unlimited = -1;
  nc_inq_unlimdim(file_.id(), &unlimited);
  return {.name = file_.dimension_name(record_dimension_),
          .length = record_count_,
          .unlimited = unlimited == record_dimension_,
          .input_id = record_dimension_};
}

bool NetcdfSource::read(RecordBlock& block) {
  const std::size_t count = std::min(block_records, record_count_ - next_);
  if (count == 0) {
    return false;
  }
  try {
    const flightfile::Variable* previous = nullptr;
    for (auto& c : columns_) {
      // The six columns of one (record, channel) variable read it once.
      if (previous == nullptr || previous->id != c.variable.id || c.channels == 1) {
        const std::size_t start[] = {next_, 0};
        const std::size_t counts[] = {count, c.channels};
        stored_.resize(count * c.channels);
        file_.read(c.variable, std::span(start, c.variable.dimensions.size()),
                   std::span(counts, c.variable.dimensions.size()), stored_.data());
      }
      previous = &c.variable;
      c.values.resize(count);
      for (std::size_t r = 0; r < count; ++r) {
        const double stored = stored_[r * c.channels + c.channel];
        c.values[r] = c.raw    ? stored
                      : c.time ? c.rule.unpacked(stored)
                               : static_cast<double>(c.rule.value(stored));
      }
    }
  } catch (const flightfile::FileError& error) {
    throw DataError(error.what());
  }
  for (std::size_t r = 0; r < count; ++r) {
    RecordSpan record;
    record.offset = static_cast<std::uint32_t>(block.text.size());
    record.line = next_ + r + 1;
    record.first_field = static_cast<std::uint32_t>(block.fields.size());
    for (std::size_t i = 0; i < columns_.size(); ++i) {
      if (i > 0) {
        block.text += ',';
      }
      FieldSpan field;
      field.offset = static_cast<std::uint32_t>(block.text.size());
      const double value = columns_[i].values[r];
      if (!std::isnan(value)) {
        if (columns_[i].time) {
          block.text += iso_time(value);
        } else if (columns_[i].raw) {
          std::array<char, 32> digits{};
          const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value);
          block.text.append(digits.data(), end.ptr);
        } else {
          append_number(block.text, static_cast<float>(value));
        }
      }
      field.size = static_cast<std::uint32_t>(block.text.size() - field.offset);
      block.fields.push_back(field);
    }
    record.size = static_cast<std::uint32_t>(block.text.size() - record.offset);
    record.field_count = static_cast<std::uint32_t>(columns_.size());
    block.records.push_back(record);
  }
  next_ += count;
  block.input_offset = next_;
  return true;
}

// Where each appended cell or input field of a row goes.
struct NetcdfSink::Target {
  std::size_t variable = 0;  // index in variables_
  std::size_t channel = 0;   // along the channel dimension of a (record, channel) variable
  bool input = false;        // an input field (a CSV input's scene field)
  std::size_t field = 0;     // its index in the record
  std::vector<float> values;
  std::vector<signed char> flags;
};

NetcdfSink::NetcdfSink(std::string path, std::string name, const RecordSource& source,
                       const NetcdfSource* copy_from, std::string history)
    : path_(std::move(path)),
      name_(std::move(name)),
      copy_from_(copy_from),
      history_(std::move(history)),
      source_(source) {}

NetcdfSink::~NetcdfSink() = default;

void NetcdfSink::begin(std::span<const std::string> input, std::span<const std::string> appended,
                       bool /*error_column*/) {
  const auto variable_named = [&](std::string_view name) {
    for (std::size_t i = 0; i < variables_.size(); ++i) {
      if (variables_[i].name == name) {
        return i;
      }
    }
    flightfile::ComputedVariable v;
    v.name = name;
    variables_.push_back(std::move(v));
    return variables_.size() - 1;
  };
  if (copy_from_ == nullptr) {
    // A CSV input: its scene fields, as numbers in nerido's units.
    for (std::size_t i = 0; i < input.size(); ++i) {
      if (const auto scene = scene_field(input[i])) {
        const FieldRange& r = field_range(*scene);
        Target t;
        t.variable = variable_named(r.name);
        t.input = true;
        t.field = i;
        auto& v = variables_[t.variable];
        add_attribute(v, "units", r.cf_units);
        add_attribute(v, "standard_name", r.standard_name);
        add_attribute(v, "long_name", r.label);
        targets_.push_back(std::move(t));
      }
    }
  }
  for (const auto& name : appended) {
    Target t;
    if (const auto channel = tb_channel(name)) {
      t.variable = variable_named(brightness_temperature_output.name);
      t.channel = *channel;
      auto& v = variables_[t.variable];
      if (v.attributes.empty()) {
        v.shape = ComputedVariable::Shape::record_channel;
        describe(v, brightness_temperature_output);
      }
    } else {
      t.variable = variable_named(name);
      auto& v = variables_[t.variable];
      for (const auto& output : retrieval_outputs) {
        if (output.name == name) {
          describe(v, output);
        }
      }
      if (name == status_column) {
        v.type = ComputedVariable::Type::flag;
        std::string meanings;
        for (int s = 0; s < status_count; ++s) {
          v.flag_values.push_back(static_cast<signed char>(s));
          meanings.append(s == 0 ? "" : " ").append(status_text(s));
        }
        add_attribute(v, "flag_meanings", meanings);
      }
    }
    targets_.push_back(std::move(t));
  }
  flightfile::RecordDimension records{.name = "record", .unlimited = true};
  if (copy_from_ != nullptr) {
    records = copy_from_->records();
  }
  try {
    output_ = std::make_unique<flightfile::NetcdfOutput>(
        path_, name_, records, variables_, copy_from_ != nullptr ? &copy_from_->file() : nullptr,
        history_);
  } catch (const flightfile::FileError& error) {
    throw DataError(error.what());
  }
}

void NetcdfSink::write(const RecordBlock& block) {
  const std::size_t rows = block.rows;
  for (auto& t : targets_) {
    t.values.assign(rows, std::numeric_limits<float>::quiet_NaN());
    t.flags.assign(rows, flightfile::no_flag);
  }
  std::string scratch;
  std::uint32_t cells_start = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    const RecordSpan& record = block.records[r];
    const std::string_view cells =
        std::string_view(block.cells).substr(cells_start, record.cells_end - cells_start);
    cells_start = record.cells_end;
    const bool bad = record.reason_size > 0;
    if (bad) {
      report_line(source_.where(record.line) + ": " + std::string(block.reason(record)));
    }
    std::size_t at = cells.empty() ? cells.size() : 1;  // past the leading ','
    for (auto& t : targets_) {
      std::string_view text;
      if (t.input) {
        if (t.field < record.field_count) {
          text = block.value(block.fields[record.first_field + t.field], scratch);
        }
      } else if (at <= cells.size()) {
        const std::size_t end = std::min(cells.find(',', at), cells.size());
        text = cells.substr(at, end - at);
        at = end + 1;
      }
      if (variables_[t.variable].type == ComputedVariable::Type::flag) {
        for (int s = 0; s < status_count; ++s) {
          if (text == status_text(s)) {
            t.flags[r] = static_cast<signed char>(s);
          }
        }
        if (bad) {
          t.flags[r] = static_cast<signed char>(RetrievalStatus::invalid_input);
        }
      } else {
        float value = 0.0f;
        if (read_number(text, value) == NumberRead::ok) {
          t.values[r] = value;
        }
      }
    }
  }
  try {
    if (copy_from_ != nullptr) {
      output_->copy_records(written_, rows);
    }
    for (std::size_t v = 0; v < variables_.size(); ++v) {
      const bool channels = variables_[v].shape == ComputedVariable::Shape::record_channel;
      std::vector<float> values(rows * (channels ? channel_count : 1),
                                std::numeric_limits<float>::quiet_NaN());
      for (const auto& t : targets_) {
        if (t.variable != v) {
          continue;
        }
        if (variables_[v].type == ComputedVariable::Type::flag) {
          output_->write_flags(v, written_, rows, t.flags);
        }
        for (std::size_t r = 0; r < rows; ++r) {
          values[channels ? r * channel_count + t.channel : r] = t.values[r];
        }
      }
      if (variables_[v].type == ComputedVariable::Type::real) {
        output_->write(v, written_, rows, values);
      }
    }
  } catch (const flightfile::FileError& error) {
    throw DataError(error.what());
  }
  written_ += rows;
}

void NetcdfSink::finish() {
  try {
    if (output_) {
      output_->close();
    }
  } catch (const flightfile::FileError& error) {
    throw DataError(error.what());
  }
}

}  // namespace nerido::batch
