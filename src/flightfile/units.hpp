// Units of flight files: a variable's `units` attribute converted to the
// unit nerido takes, with Unidata's UDUNITS-2 (the units library the CF
// conventions are defined on). UDUNITS-2 is not thread-safe: a Units and
// every Conversion it made belong to one thread.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

struct ut_system;
union cv_converter;

namespace nerido::flightfile {

// A unit that UDUNITS-2 cannot read, or that does not convert to the one
// wanted. what() is one line in nerido's words, e.g. "unit 'ft s' does not
// convert to 'm'".
class UnitError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Values in one unit converted to another: an affine map for the units of
// flight files (a scale, and an offset for temperatures), or the identity.
class Conversion {
 public:
  Conversion() = default;  // the identity
  // The value in the wanted unit, computed in double precision.
  [[nodiscard]] double operator()(double value) const noexcept;
  [[nodiscard]] bool identity() const noexcept { return !converter_; }

 private:
  friend class Units;
  explicit Conversion(std::shared_ptr<cv_converter> converter) : converter_(std::move(converter)) {}
  std::shared_ptr<cv_converter> converter_;
};

// UDUNITS-2's unit database, read once; its own messages are silenced, and
// its failures reported as UnitError in nerido's words.
class Units {
 public:
  // Throws std::runtime_error when the database cannot be read.
  Units();
  ~Units();
  Units(const Units&) = delete;
  Units& operator=(const Units&) = delete;

  // The conversion of values in `from` (a units attribute) to `to` (in
  // UDUNITS-2's spelling; or practical salinity's, "1e-3" as CF writes it
  // or another of its spellings but "1", which UDUNITS-2 reads as the plain
  // number: practical salinity is no UDUNITS-2 unit, and its spellings in
  // files, see salinity_spellings in units.cpp, are taken as they stand). Throws UnitError
  // when `from` is no unit or does not convert to `to`.
  [[nodiscard]] Conversion conversion(std::string_view from, std::string_view to) const;

 private:
  ut_system* system_ = nullptr;
};

}  // namespace nerido::flightfile
