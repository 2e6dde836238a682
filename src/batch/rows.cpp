#include "batch/rows.hpp"

#include <algorithm>
#include <limits>

#include "batch/errors.hpp"
#include "batch/io/text.hpp"
#include "batch/pipeline.hpp"

namespace nerido::batch {
namespace {

// The place of an optional input the input lacks.
constexpr std::size_t absent_field = std::numeric_limits<std::size_t>::max();

// Where each input field is in the schema, the optional ones after the
// others (absent_field for those it lacks).
std::vector<std::size_t> find_inputs(const RecordSource& source, const RowConversion& conversion,
                                     OnError on_error) {
  const std::span<const std::string> names = source.schema();
  std::vector<std::string> appended = conversion.outputs;
  if (on_error == OnError::mark) {
    appended.emplace_back("error");
  }
  for (const std::string& name : appended) {
    if (std::find(names.begin(), names.end(), name) != names.end()) {
      throw DataError(source.name() + " has a column '" + name +
                      "' already; it would be appended again");
    }
  }
  const bool unlike_csv =
      names.size() == 1 || !std::all_of(names.begin(), names.end(), [](const std::string& name) {
        return printable_utf8(name);
      });
  std::vector<std::size_t> fields;
  std::vector<std::string_view> wanted(conversion.inputs.begin(), conversion.inputs.end());
  for (const OptionalInput& optional : conversion.optional_inputs) {
    wanted.emplace_back(optional.name);
  }
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    const std::string input(wanted[i]);
    const auto first = std::find(names.begin(), names.end(), input);
    if (i >= conversion.inputs.size()) {
      if (first == names.end()) {
        fields.push_back(absent_field);
        continue;
      }
      const std::string& option = conversion.optional_inputs[i - conversion.inputs.size()].given_by;
      if (!option.empty()) {
        std::string message = option;
        message.append(" and the column '").append(input).append("' of ");
        message.append(source.name()).append(": give one or the other");
        throw UsageError(message);
      }
    }
    if (first == names.end()) {
      throw DataError(source.where(0) + ": no column '" + input + "' in the header" +
                      (unlike_csv ? " (the header has " + count_of(names.size(), "field") +
                                        ": separated by ';' or tabs, or not UTF-8?)"
                                  : ""));
    }
    const auto second = std::find(first + 1, names.end(), input);
    if (second != names.end()) {
      throw DataError(source.where(0) + ": column '" + input +
                      "' appears twice in the header (fields " +
                      std::to_string(first - names.begin() + 1) + " and " +
                      std::to_string(second - names.begin() + 1) + ")");
    }
    fields.push_back(static_cast<std::size_t>(first - names.begin()));
  }
  return fields;
}

// Each worker's converter and its room for values.
struct Worker {
  RowConverter convert;
  std::vector<std::string> scratch;
  std::vector<std::string_view> values;
  std::string reason;
};

void convert_block(RecordBlock& block, Worker& w, const std::vector<std::size_t>& inputs,
                   const RowConversion& conversion, std::size_t field_count, OnError on_error,
                   const RecordSource& source) {
  for (std::uint32_t i = 0; i < block.records.size(); ++i) {
    RecordSpan& r = block.records[i];
    const std::size_t cells_start = block.cells.size();
    const std::size_t side_start = block.side.size();
    w.reason.clear();
    if (!r.problem.empty()) {
      w.reason = "field " + std::to_string(r.problem_field) + ": " + std::string(r.problem);
    } else if (r.field_count != field_count) {
      w.reason =
          count_of(r.field_count, "field") + ", the header has " + std::to_string(field_count);
    } else {
      for (std::size_t v = 0; v < inputs.size(); ++v) {
        w.values[v] =
            inputs[v] == absent_field
                ? std::string_view(conversion.optional_inputs[v - conversion.inputs.size()].absent)
                : block.value(block.fields[r.first_field + inputs[v]], w.scratch[v]);
      }
      if (!w.convert(w.values, block.cells, block.side, w.reason) && w.reason.empty()) {
        w.reason = "not converted";
      }
    }
    if (!w.reason.empty()) {
      block.cells.resize(cells_start);
      block.side.resize(side_start);
      if (on_error == OnError::stop) {
        block.row_stop = source.where(r.line) + ": " + w.reason;
        block.rows = i;
        return;
      }
      r.reason_offset = static_cast<std::uint32_t>(block.reasons.size());
      r.reason_size = static_cast<std::uint32_t>(w.reason.size());
      block.reasons += w.reason;
    }
    r.cells_end = static_cast<std::uint32_t>(block.cells.size());
  }
  block.rows = static_cast<std::uint32_t>(block.records.size());
}

}  // namespace

RowResult run_rows(RecordSource& source, RecordSink& sink, const RowConversion& conversion,
                   const RowOptions& options) {
  const std::vector<std::size_t> inputs = find_inputs(source, conversion, options.on_error);
  const std::size_t field_count = source.schema().size();
  sink.begin(source.schema(), conversion.outputs, options.on_error == OnError::mark);
  std::vector<Worker> workers(std::max(options.threads, 1u));
  for (Worker& w : workers) {
    w.convert = conversion.make_converter();
    w.scratch.resize(inputs.size());
    w.values.resize(inputs.size());
  }
  RowResult result;
  PipelineStages<RecordBlock> stages;
  stages.fill = [&](RecordBlock& block) { return source.read(block); };
  stages.process = [&](RecordBlock& block, unsigned worker) {
    convert_block(block, workers[worker], inputs, conversion, field_count, options.on_error,
                  source);
  };
  stages.write = [&](RecordBlock& block) {
    sink.write(block);
    result.rows += block.rows;
    for (std::uint32_t i = 0; i < block.rows; ++i) {
      const RecordSpan& r = block.records[i];
      if (r.reason_size > 0) {
        ++result.marked;
        if (!result.first_mark) {
          result.first_mark = source.where(r.line) + ": " + std::string(block.reason(r));
        }
      }
    }
    if (options.written) {
      options.written(block);
    }
    result.stop = block.row_stop ? block.row_stop : block.input_stop;
    return !result.stop;
  };
  stages.bytes = [](const RecordBlock& block) { return block.text.size(); };
  run_pipeline(stages, static_cast<unsigned>(workers.size()));
  sink.finish();
  return result;
}

}  // namespace nerido::batch
