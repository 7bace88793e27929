// The library's version, as its version resource would give it.
#pragma once

inline constexpr char kZarWavFileVersion[] = "1.2.0.0";
