// The radiometer's channels (every six-value array of the library is in
// this order), and the sea the model assumes unless told otherwise.
#pragma once

#include <array>
#include <cstddef>

namespace nerido {

// Number of radiometer channels.
inline constexpr std::size_t channel_count = 6;
// The channels' centre frequencies (GHz).
inline constexpr std::array<float, channel_count> channels_ghz{4.74f, 5.31f, 5.57f,
                                                               6.02f, 6.69f, 7.09f};

// The sea-surface salinity (psu) of a Scene or an Observation that gives
// none: the open ocean's, and the only one the calculator knows.
inline constexpr float default_salinity_psu = 36.0f;

}  // namespace nerido
