// The exact texts of the library's argument and conversion errors.
// One place for every format string that users (and tests) match word for word.
#pragma once

namespace kv::msg {

inline constexpr const char* kArgCount = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr const char* kUnexpectedKeyword = "%s() got an unexpected keyword argument '%U'";
inline constexpr const char* kMultipleValues = "%s() got multiple values for keyword argument '%U'";
inline constexpr const char* kKeywordsStrings = "%s() keywords must be strings";
inline constexpr const char* kArgType = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
inline constexpr const char* kExpected = "Expected %s, got %.200s";
inline constexpr const char* kCannotConvert = "Cannot convert %.200s to %.200s";
inline constexpr const char* kSubclassNote = "subclasses of built-in types are rejected: pass an exact %s";
inline constexpr const char* kIntRequired = "an integer is required";
inline constexpr const char* kIntTooLarge = "value too large to convert to int";
inline constexpr const char* kBufferDims = "Buffer has wrong number of dimensions (expected %d, got %d)";
inline constexpr const char* kNotContiguous = "ndarray is not C-contiguous";
inline constexpr const char* kSeqSize = "Expected a sequence of size %zd, got size %zd";
inline constexpr const char* kSeqType = "Expected a sequence of size %zd, got %.200s";
inline constexpr const char* kPointRows = "points must be an (N, 2) or (N, 3) array, got shape %R";
inline constexpr const char* kNameNotDefined = "name '%U' is not defined";
// `a, b = o` as the interpreter reports it, and as a compiled module does.
inline constexpr const char* kNotIterable = "cannot unpack non-iterable %.200s object";
inline constexpr const char* kNotEnoughValues = "not enough values to unpack (expected %zd, got %zd)";
inline constexpr const char* kNeedMoreValues = "need more than %zd value%.1s to unpack";
inline constexpr const char* kTooManyValues = "too many values to unpack (expected %zd)";

}  // namespace kv::msg
