#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <string_view>

namespace quilvane::testing {

// Whether `fn` throws an `E` whose message is `text` (or, with `prefix`,
// starts with it). Use as EXPECT_TRUE(ThrowsWithText<platform::Error>(
// [&] { ... }, "File not found")); the failure names what happened instead.
template <typename E, typename Fn>
::testing::AssertionResult ThrowsWithText(Fn&& fn, std::string_view text, bool prefix = false) {
  try {
    fn();
  } catch (const E& e) {
    const std::string_view what = e.what();
    if (prefix ? what.starts_with(text) : what == text) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "the error says \"" << what << "\" instead of " << (prefix ? "starting with " : "")
           << "\"" << text << "\"";
  } catch (const std::exception& e) {
    return ::testing::AssertionFailure() << "another kind of error: " << e.what();
  }
  return ::testing::AssertionFailure() << "no error; expected \"" << text << "\"";
}

}  // namespace quilvane::testing
