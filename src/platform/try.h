// MERVIK_TRY and MERVIK_TRY_ASSIGN: how every layer passes a failure up to its caller.
#pragma once

#include <expected>
#include <utility>

/// Error propagation for any std::expected (Result, IoResult, ...), in standard C++: the one
/// way a failure is passed up.
///
/// MERVIK_TRY(expr); evaluates `expr` and returns its error from the enclosing function; its
/// value, if any, is dropped.
///
/// MERVIK_TRY_ASSIGN(lhs, expr); evaluates `expr`, returns its error from the enclosing
/// function, or else moves its value into `lhs`, which is usually a declaration
/// (`MERVIK_TRY_ASSIGN(const Held name, get_attr(obj, key));`) and stays in scope after it.
#define MERVIK_TRY(...)                                              \
  do {                                                               \
    auto&& mervik_try_result_ = (__VA_ARGS__);                       \
    if (!mervik_try_result_) [[unlikely]]                            \
      return std::unexpected(std::move(mervik_try_result_).error()); \
  } while (false)

#define MERVIK_TRY_ASSIGN(lhs, ...) \
  MERVIK_TRY_ASSIGN_IMPL_(MERVIK_TRY_CONCAT_(mervik_try_result_, __LINE__), lhs, __VA_ARGS__)
#define MERVIK_TRY_CONCAT_(a, b) MERVIK_TRY_CONCAT_IMPL_(a, b)
#define MERVIK_TRY_CONCAT_IMPL_(a, b) a##b
#define MERVIK_TRY_ASSIGN_IMPL_(result, lhs, ...)      \
  auto&& result = (__VA_ARGS__);                       \
  if (!result) [[unlikely]]                            \
    return std::unexpected(std::move(result).error()); \
  lhs = *std::move(result)
