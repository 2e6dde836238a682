// nerido._core: the compiled half of the Python package. Each function is one
// loop over contiguous float32 arrays that the Python layer has already
// broadcast, validated for type and copied; the loop runs with the
// interpreter lock released and touches nothing but its own arguments, so
// several threads may run it at once. A loop may also split itself into
// contiguous blocks, one per thread of its own: each element's result is
// computed exactly as in one block, so the thread count changes no bit.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include "nerido/nerido.hpp"
#include "nerido/outputs.hpp"
#if NERIDO_HAVE_VECTOR
#include "nerido/vector.hpp"
#endif
#if NERIDO_HAVE_NETCDF
#include "flightfile/netcdf_input.hpp"
#include "flightfile/units.hpp"
#endif
#if NERIDO_HAVE_RETRIEVAL
#include "nerido/retrieval.hpp"
#endif

namespace py = pybind11;

namespace {

// A read-only input: exactly float32 and C-contiguous (never converted here).
using Floats = py::array_t<float, py::array::c_style>;

inline constexpr float quiet_nan = std::numeric_limits<float>::quiet_NaN();

// An input of n elements, or of one that stands for all n (a scalar
// broadcast: no n-element copy of it is made).
struct Column {
  const float* data;
  std::size_t step;  // 1, or 0 for a single value
  float operator[](std::size_t i) const noexcept { return data[i * step]; }
};

// `array` as a Column of n elements: it must hold n, or one.
Column checked_column(const Floats& array, std::size_t n, const char* name) {
  const auto size = static_cast<std::size_t>(array.size());
  if (size != n && size != 1) {
    throw py::value_error(std::string{"nerido._core: "} + name + " has " + std::to_string(size) +
                          " elements, expected " + std::to_string(n) + " or 1");
  }
  return {array.data(), size == 1 ? 0U : 1U};
}

#if NERIDO_HAVE_RETRIEVAL
// Element count of an array, checked against the count the loop expects.
std::size_t checked_size(const Floats& array, std::size_t expected, const char* name) {
  const auto size = static_cast<std::size_t>(array.size());
  if (size != expected) {
    throw py::value_error(std::string{"nerido._core: "} + name + " has " + std::to_string(size) +
                          " elements, expected " + std::to_string(expected));
  }
  return size;
}
#endif

// The threads a loop of n elements runs on: `threads` (0: one per core as
// std::thread::hardware_concurrency counts them), at most n, at least 1.
std::size_t thread_count(int threads, std::size_t n) {
  if (threads < 0) {
    throw py::value_error("nerido._core: threads must be 0 or more, not " +
                          std::to_string(threads));
  }
  std::size_t count =
      threads == 0 ? std::thread::hardware_concurrency() : static_cast<std::size_t>(threads);
  return std::max<std::size_t>(1, std::min(count, n));
}

// Runs block(b, begin, end) for b = 0 to blocks - 1: contiguous blocks
// [begin, end) that cover [0, n) in order, the first on the calling thread,
// the others on threads of their own; waits for all. A block whose thread
// cannot be started runs on the calling thread. `block` must not throw.
template <typename Block>
void in_blocks(std::size_t n, std::size_t blocks, const Block& block) {
  const auto begin_of = [&](std::size_t b) { return n / blocks * b + std::min(b, n % blocks); };
  std::vector<std::thread> workers;
  std::vector<std::size_t> left_over;
  workers.reserve(blocks);
  left_over.reserve(blocks);  // nothing below may throw while threads run
  for (std::size_t b = 1; b < blocks; ++b) {
    try {
      workers.emplace_back(block, b, begin_of(b), begin_of(b + 1));
    } catch (const std::system_error&) {
      left_over.push_back(b);
    }
  }
  block(std::size_t{0}, begin_of(0), begin_of(1));
  for (const std::size_t b : left_over) {
    block(b, begin_of(b), begin_of(b + 1));
  }
  for (std::thread& worker : workers) {
    worker.join();
  }
}

// Elements a thread computes between two looks at a pending signal: about
// 40 ms of work each, so that Ctrl-C interrupts a long call at once.
inline constexpr std::size_t scenes_per_round = std::size_t{1} << 16;
inline constexpr std::size_t retrievals_per_round = std::size_t{1} << 13;

// Runs block(b, begin, end) over [0, n) as in_blocks does, in rounds of at
// most `per_thread` elements a thread, with the interpreter lock released
// during each round. Between rounds, with the lock held, a pending signal
// (Ctrl-C) raises its exception (KeyboardInterrupt) in Python, and the loop
// ends early when done() says so. Called with the lock held.
template <typename Block, typename Done>
void in_rounds(std::size_t n, std::size_t threads, std::size_t per_thread, const Block& block,
               const Done& done) {
  for (std::size_t start = 0; start < n;) {
    const std::size_t end = start + std::min(n - start, per_thread * threads);
    {
      py::gil_scoped_release unlocked;
      in_blocks(end - start, std::min(threads, end - start),
                [&](std::size_t b, std::size_t begin, std::size_t stop) {
                  block(b, start + begin, start + stop);
                });
    }
    if (PyErr_CheckSignals() != 0) {
      throw py::error_already_set();
    }
    if (done()) {
      return;
    }
    start = end;
  }
}

#if NERIDO_HAVE_VECTOR
// Scenes a block hands to the span API at a time.
inline constexpr std::size_t scenes_per_span = 512;

// The fields a Scene holds: the five of every scene, then the salinity.
inline constexpr std::size_t scene_input_count = nerido::scene_field_count + 1;
static_assert(static_cast<std::size_t>(nerido::SceneField::salinity_psu) ==
                  nerido::scene_field_count &&
              sizeof(nerido::Scene) == scene_input_count * sizeof(float));

// The scenes [begin, end) on a vector path, a span at a time, as the
// scalar loop computes them: an invalid scene stops the block (its index
// into `stopped`, the scenes before it computed) or gets six NaNs.
// `fields` in the field table's order, the salinity last.
void vector_block(const std::array<Column, scene_input_count>& fields, float* tb, std::size_t begin,
                  std::size_t end, bool stop_at_invalid, nerido::simd::Path path,
                  std::size_t& stopped) {
  std::array<nerido::Scene, scenes_per_span> scenes{};
  std::array<bool, scenes_per_span> invalid{};
  std::array<std::array<float, nerido::channel_count>, scenes_per_span> rows{};
  // The field table read once: in_range of each field, inline.
  std::array<const nerido::FieldRange*, scene_input_count> ranges{};
  for (std::size_t k = 0; k < ranges.size(); ++k) {
    ranges[k] = &nerido::field_range(static_cast<nerido::SceneField>(k));
  }
  const auto is_invalid = [&](std::size_t i) {
    bool valid = true;
    for (std::size_t k = 0; k < ranges.size(); ++k) {
      const nerido::FieldRange& r = *ranges[k];
      const float v = fields[k][i];
      valid = valid && (r.low_inclusive ? v >= r.low : v > r.low) && v <= r.high;
    }
    return !valid;
  };
  for (std::size_t first = begin; first < end; first += scenes_per_span) {
    std::size_t n = std::min(scenes_per_span, end - first);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t k = first + i;
      scenes[i] = {fields[0][k], fields[1][k], fields[2][k],
                   fields[3][k], fields[4][k], fields[5][k]};
      invalid[i] = is_invalid(k);
      if (invalid[i] && stop_at_invalid) {
        stopped = k;
        n = i;
        break;
      }
    }
    // Never throws here: the path is supported and the spans are equal.
    nerido::simd::brightness_temperatures(std::span(scenes).first(n), std::span(rows).first(n),
                                          path);
    for (std::size_t i = 0; i < n; ++i) {
      if (invalid[i]) {
        rows[i].fill(quiet_nan);
      }
      std::copy(rows[i].begin(), rows[i].end(), tb + (first + i) * nerido::channel_count);
    }
    if (stopped < end) {
      return;
    }
  }
}
#endif

// Six brightness temperatures per scene into `out` (n x 6), from inputs of
// n elements or of one (a value for every scene). An invalid scene
// either stops the loop (the index of the first is returned) or gets six
// NaNs. Returns -1 when no scene stopped it. On `threads` threads (see
// thread_count), each on the vector path of <nerido/vector.hpp> where the
// module has one (the scalar path's bits), else with an emissivity cache.
std::ptrdiff_t scene_loop(const Floats& sst_c, const Floats& altitude_m, const Floats& air_c,
                          const Floats& wind_ms, const Floats& rain_mmh, const Floats& salinity_psu,
                          py::array_t<float, py::array::c_style> out, bool stop_at_invalid,
                          int threads) {
  if (out.size() % static_cast<py::ssize_t>(nerido::channel_count) != 0) {
    throw py::value_error("nerido._core: the output must hold six values per scene");
  }
  const auto n = static_cast<std::size_t>(out.size()) / nerido::channel_count;
  const Column sst = checked_column(sst_c, n, "sst_c");
  const Column altitude = checked_column(altitude_m, n, "altitude_m");
  const Column air = checked_column(air_c, n, "air_c");
  const Column wind = checked_column(wind_ms, n, "wind_ms");
  const Column rain = checked_column(rain_mmh, n, "rain_mmh");
  const Column salinity = checked_column(salinity_psu, n, "salinity_psu");
  float* tb = out.mutable_data();
  const std::size_t blocks = thread_count(threads, n);
#if NERIDO_HAVE_VECTOR
  // Decided once per process; a bad NERIDO_SIMD raises ValueError here,
  // before any thread starts.
  const nerido::simd::Path path = nerido::simd::active_path();
#endif

  // The first invalid scene of each block, or n.
  std::vector<std::size_t> stopped(blocks, n);
  const auto any_stopped = [&] { return *std::min_element(stopped.begin(), stopped.end()) < n; };
  in_rounds(
      n, blocks, scenes_per_round,
      [&](std::size_t b, std::size_t begin, std::size_t end) {
#if NERIDO_HAVE_VECTOR
        if (path != nerido::simd::Path::scalar) {
          vector_block({sst, altitude, air, wind, rain, salinity}, tb, begin, end, stop_at_invalid,
                       path, stopped[b]);
          return;
        }
#endif
        nerido::EmissivityCache cache;
        for (std::size_t i = begin; i < end; ++i) {
          const nerido::Scene scene{sst[i], altitude[i], air[i], wind[i], rain[i], salinity[i]};
          float* row = tb + i * nerido::channel_count;
          if (nerido::first_invalid_field(scene)) {
            if (stop_at_invalid) {
              stopped[b] = i;
              return;
            }
            std::fill(row, row + nerido::channel_count, quiet_nan);
            continue;
          }
          const auto values =
              nerido::brightness_temperatures(scene, cache.emissivities(scene.sst_c, salinity[i]));
          std::copy(values.begin(), values.end(), row);
        }
      },
      any_stopped);
  const std::size_t first = *std::min_element(stopped.begin(), stopped.end());
  return first < n ? static_cast<std::ptrdiff_t>(first) : -1;
}

// The first invalid field of one scene and why: (field name, message), or None.
py::object scene_error(float sst_c, float altitude_m, float air_c, float wind_ms, float rain_mmh,
                       float salinity_psu) {
  const auto error =
      nerido::check_scene({sst_c, altitude_m, air_c, wind_ms, rain_mmh, salinity_psu});
  if (!error) {
    return py::none();
  }
  return py::make_tuple(std::string{nerido::field_range(error->field).name}, error->message);
}

// Why `value` is refused for the field called `name`, or None when it is
// in range (or no field is called so).
py::object field_error(const std::string& name, float value) {
  for (std::size_t i = 0; i < nerido::field_count; ++i) {
    const auto field = static_cast<nerido::SceneField>(i);
    if (nerido::field_range(field).name == name && !nerido::in_range(field, value)) {
      return py::str(nerido::describe_out_of_range(field, value));
    }
  }
  return py::none();
}

#if NERIDO_HAVE_RETRIEVAL
inline constexpr std::size_t retrieval_float_count = 6;

// True for the reasons that name an input field (an error with errors="raise").
bool is_field_reason(nerido::InvalidReason reason) {
  using R = nerido::InvalidReason;
  return reason == R::sst_c || reason == R::altitude_m || reason == R::air_c ||
         reason == R::salinity_psu || reason == R::attitude;
}

// One retrieval per element: tb_k is n x 6 (NaN = missing channel); returns
// the six float fields of the Retrieval, its status, each an array of n,
// and the index of the first element whose SST, altitude or air
// temperature is invalid when `stop_at_invalid` (the loop then stops there;
// -1 when none). On `threads` threads (see thread_count).
py::tuple retrieval_loop(const Floats& tb_k, const Floats& sst_c, const Floats& altitude_m,
                         const Floats& air_c, const Floats& salinity_psu, const Floats& roll_deg,
                         const Floats& pitch_deg, const std::array<float, 6>& noise_k,
                         float model_error_k, float max_off_nadir_deg, bool stop_at_invalid,
                         int threads) {
  const auto n = static_cast<std::size_t>(sst_c.size());
  checked_size(altitude_m, n, "altitude_m");
  checked_size(air_c, n, "air_c");
  checked_size(salinity_psu, n, "salinity_psu");
  checked_size(roll_deg, n, "roll_deg");
  checked_size(pitch_deg, n, "pitch_deg");
  if (static_cast<std::size_t>(tb_k.size()) != n * nerido::channel_count) {
    throw py::value_error("nerido._core: tb_k must hold six values per observation");
  }
  const auto count = static_cast<py::ssize_t>(n);
  std::vector<py::array_t<float>> fields;
  std::vector<float*> field_data;
  for (std::size_t k = 0; k < retrieval_float_count; ++k) {
    fields.emplace_back(count);
    field_data.push_back(fields.back().mutable_data());
  }
  py::array_t<std::int8_t> status(count);
  std::int8_t* status_data = status.mutable_data();
  const float* tb = tb_k.data();
  const float* sst = sst_c.data();
  const float* altitude = altitude_m.data();
  const float* air = air_c.data();
  const float* salinity = salinity_psu.data();
  const float* roll = roll_deg.data();
  const float* pitch = pitch_deg.data();
  nerido::RetrievalOptions options;
  options.noise_k = noise_k;
  options.model_error_k = model_error_k;
  options.max_off_nadir_deg = max_off_nadir_deg;
  const std::size_t blocks = thread_count(threads, n);
  // The first element of each block with an invalid SST, altitude or air temperature, or n.
  std::vector<std::size_t> stopped(blocks, n);
  const auto any_stopped = [&] { return *std::min_element(stopped.begin(), stopped.end()) < n; };
  {
    in_rounds(
        n, blocks, retrievals_per_round,
        [&](std::size_t b, std::size_t begin, std::size_t end) {
          for (std::size_t i = begin; i < end; ++i) {
            nerido::Observation observation{{},          sst[i],  altitude[i], air[i],
                                            salinity[i], roll[i], pitch[i]};
            std::copy(tb + i * nerido::channel_count, tb + (i + 1) * nerido::channel_count,
                      observation.tb_k.begin());
            const nerido::Retrieval r = nerido::retrieve(observation, options);
            if (stop_at_invalid && is_field_reason(r.invalid_reason)) {
              stopped[b] = i;
              return;
            }
            const std::array<float, retrieval_float_count> values{r.wind_ms,
                                                                  r.rain_mmh,
                                                                  r.wind_sigma_ms,
                                                                  r.rain_sigma_mmh,
                                                                  r.wind_rain_correlation,
                                                                  r.residual_rms_k};
            for (std::size_t k = 0; k < retrieval_float_count; ++k) {
              field_data[k][i] = values[k];
            }
            status_data[i] = static_cast<std::int8_t>(r.status);
          }
        },
        any_stopped);
  }
  py::tuple result(retrieval_float_count + 2);
  for (std::size_t k = 0; k < retrieval_float_count; ++k) {
    result[k] = fields[k];
  }
  result[retrieval_float_count] = status;
  const std::size_t first = *std::min_element(stopped.begin(), stopped.end());
  result[retrieval_float_count + 1] = first < n ? static_cast<std::ptrdiff_t>(first) : -1;
  return result;
}

std::vector<std::string> retrieval_status_names() {
  std::vector<std::string> names;
  names.reserve(static_cast<std::size_t>(nerido::retrieval_status_count));
  for (int s = 0; s < nerido::retrieval_status_count; ++s) {
    names.emplace_back(nerido::status_name(static_cast<nerido::RetrievalStatus>(s)));
  }
  return names;
}
#endif

}  // namespace

// A result's CF attributes, as the NetCDF output has them.
py::dict cf_attributes(const nerido::OutputField& output) {
  py::dict attributes;
  for (const auto& [name, value] :
       {std::pair{"units", output.cf_units}, std::pair{"standard_name", output.standard_name},
        std::pair{"long_name", output.long_name},
        std::pair{"ancillary_variables", output.ancillary}}) {
    if (!value.empty()) {
      attributes[name] = std::string{value};
    }
  }
  return attributes;
}

#if NERIDO_HAVE_NETCDF
// `values` (double) converted from `from_units` to `to_units` by the
// library's UDUNITS-2 conversion, each rounded once to float32: the bits
// nerido-batch reads from a file. Keeps the interpreter lock: UDUNITS-2 is
// not thread-safe.
py::array_t<float> convert_units(const py::array_t<double, py::array::c_style>& values,
                                 const std::string& from_units, const std::string& to_units) {
  static const nerido::flightfile::Units units;
  nerido::flightfile::Conversion conversion;
  try {
    conversion = units.conversion(from_units, to_units);
  } catch (const nerido::flightfile::UnitError& error) {
    throw py::value_error(error.what());
  }
  py::array_t<float> out(values.size());
  const double* in = values.data();
  float* result = out.mutable_data();
  for (py::ssize_t i = 0; i < values.size(); ++i) {
    result[i] = static_cast<float>(conversion(in[i]));
  }
  return out;
}

// The index in `frequencies_ghz` of each of nerido's channels.
std::vector<std::size_t> match_channels(const std::vector<double>& frequencies_ghz,
                                        const std::string& about) {
  try {
    const auto index = nerido::flightfile::match_channels(frequencies_ghz, about);
    return {index.begin(), index.end()};
  } catch (const nerido::flightfile::FileError& error) {
    throw py::value_error(error.what());
  }
}
#endif

PYBIND11_MODULE(_core, m) {
  m.doc() = "Compiled loops of the nerido package; use the functions of `nerido` instead.";
  m.attr("version") = std::string{nerido::version.text};
  m.attr("channels_ghz") =
      std::vector<float>(nerido::channels_ghz.begin(), nerido::channels_ghz.end());
  // The field table: (name, label, range) for each field, in order.
  py::list fields;
  for (std::size_t i = 0; i < nerido::field_count; ++i) {
    const auto field = static_cast<nerido::SceneField>(i);
    const nerido::FieldRange& r = nerido::field_range(field);
    fields.append(
        py::make_tuple(std::string{r.name}, std::string{r.label}, nerido::range_text(field)));
  }
  m.attr("fields") = fields;
  // The optional fields' defaults: {name: value}.
  py::dict field_defaults;
  for (std::size_t i = 0; i < nerido::field_count; ++i) {
    const nerido::FieldRange& r = nerido::field_range(static_cast<nerido::SceneField>(i));
    if (r.default_value) {
      field_defaults[py::str(std::string{r.name})] = *r.default_value;
    }
  }
  m.attr("field_defaults") = field_defaults;
  // Each field's unit in UDUNITS-2's spelling and its CF standard name.
  py::list field_units;
  for (std::size_t i = 0; i < nerido::field_count; ++i) {
    const nerido::FieldRange& r = nerido::field_range(static_cast<nerido::SceneField>(i));
    field_units.append(
        py::make_tuple(std::string{r.name}, std::string{r.cf_units}, std::string{r.standard_name}));
  }
  m.attr("field_units") = field_units;
  // The results as files name and describe them: (name, CF attributes).
  m.attr("brightness_temperature_output") =
      py::make_tuple(std::string{nerido::brightness_temperature_output.name},
                     cf_attributes(nerido::brightness_temperature_output));
  py::list outputs;
  for (const auto& output : nerido::retrieval_outputs) {
    outputs.append(py::make_tuple(std::string{output.name}, cf_attributes(output)));
  }
  m.attr("outputs") = outputs;
#if NERIDO_HAVE_NETCDF
  m.attr("has_units") = true;
  m.def("convert_units", &convert_units, py::arg("values"), py::arg("from_units"),
        py::arg("to_units"));
  m.def("match_channels", &match_channels, py::arg("frequencies_ghz"), py::arg("about"));
#else
  m.attr("has_units") = false;
#endif

  m.def("scene_loop", &scene_loop, py::arg("sst_c").noconvert(), py::arg("altitude_m").noconvert(),
        py::arg("air_c").noconvert(), py::arg("wind_ms").noconvert(),
        py::arg("rain_mmh").noconvert(), py::arg("salinity_psu").noconvert(),
        py::arg("out").noconvert(), py::arg("stop_at_invalid"), py::arg("threads"));
  m.def("scene_error", &scene_error);
  m.def("field_error", &field_error, py::arg("name"), py::arg("value"));
  // The path scene_loop takes: "scalar", "avx2" or "avx512" (NERIDO_SIMD).
  m.def("simd_path", [] {
#if NERIDO_HAVE_VECTOR
    return std::string(nerido::simd::path_name(nerido::simd::active_path()));
#else
    return std::string("scalar");
#endif
  });

  // The retrieval's option ranges and defaults (constants of its header, so
  // also there for retrieve's signature in a build without the retrieval).
  m.attr("max_off_nadir_deg") = nerido::RetrievalOptions{}.max_off_nadir_deg;
  m.attr("max_off_nadir_limit_deg") = nerido::max_off_nadir_limit_deg;
  m.attr("noise_range_k") = py::make_tuple(nerido::noise_range_k.low, nerido::noise_range_k.high);
  m.attr("model_error_range_k") =
      py::make_tuple(nerido::model_error_range_k.low, nerido::model_error_range_k.high);
#if NERIDO_HAVE_RETRIEVAL
  m.attr("has_retrieval") = true;
  m.attr("retrieval_status_names") = retrieval_status_names();
  m.def("retrieval_loop", &retrieval_loop, py::arg("tb_k").noconvert(),
        py::arg("sst_c").noconvert(), py::arg("altitude_m").noconvert(),
        py::arg("air_c").noconvert(), py::arg("salinity_psu").noconvert(),
        py::arg("roll_deg").noconvert(), py::arg("pitch_deg").noconvert(), py::arg("noise_k"),
        py::arg("model_error_k"), py::arg("max_off_nadir_deg"), py::arg("stop_at_invalid"),
        py::arg("threads"));
#else
  m.attr("has_retrieval") = false;
#endif
}
