// The HRTF data set carried inside the library: the MIT KEMAR measurements
// (normal pinna) at 48 kHz, 128 taps, 14 rings, 368 directions. Compiled in
// from data/kemar_48k_128.orvhrtf; a build without the file fails to configure.
#pragma once

#include <cstddef>

namespace orv {

extern const unsigned char kCarriedHrtfData[];
extern const std::size_t kCarriedHrtfDataSize;  // the records plus one unread byte

}  // namespace orv
