#pragma once
// Version identity written in the first start-up line.
namespace build_info {
// The program version: the project version of the build ("717").
const char* version();
// The 40-hex-digit revision the program was built from (zeros outside a git checkout).
const char* revision();
}  // namespace build_info
