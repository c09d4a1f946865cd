// Fixed extents shared by every subsystem, and the index helper for the
// column-major matrices.
//
// Conventions used throughout the code:
//  * A series or flag array is a plain pointer whose element [t-1] belongs to
//    time step t (1-based in comments, 0-based in storage).
//  * A matrix is stored column by column with a fixed leading dimension;
//    at(ld, i, j) is the storage index of the 1-based element (i, j).
//  * Matrices indexed by time step (design matrix f, work matrix x, the
//    reflection scratch) use leading dimension kLdT = 200; systems indexed by
//    coefficient (everything handed to invert_in_place) use kLdC = 50.
#pragma once

#include <cstddef>

namespace kov {

inline constexpr int kMaxSteps = 200;  // time steps of a series
inline constexpr int kMaxCols = 50;    // columns of the design matrix
inline constexpr int kLdT = 200;       // leading dimension, time-indexed
inline constexpr int kLdC = 50;        // leading dimension, coefficient-indexed
inline constexpr int kMaxHarmonics = 23;   // harmonics a run may request

// Storage index of 1-based element (i, j) of a column-major matrix.
constexpr std::size_t at(int ld, int i, int j) {
  return static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(ld) +
         static_cast<std::size_t>(i - 1);
}

}  // namespace kov
