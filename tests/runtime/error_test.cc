#include "runtime/error.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace tarnwick {
namespace {

struct RenderCase {
  const char* name;
  TarnwickError error;
  const char* message;
};

class ErrorRendering : public ::testing::TestWithParam<RenderCase> {};

TEST_P(ErrorRendering, RendersPayloadAsIs) { EXPECT_EQ(GetParam().error.message(), GetParam().message); }

INSTANTIATE_TEST_SUITE_P(
    AllKinds, ErrorRendering,
    ::testing::Values(RenderCase{"io", TarnwickError::io("disk full"), "IO error: disk full"},
                      RenderCase{"serialization", TarnwickError::serialization("x"), "Serialization error: x"},
                      RenderCase{"compression", TarnwickError::compression("bad"), "Compression error: bad"},
                      RenderCase{"not_found", TarnwickError::not_found("manifest.json"),
                                 "Checkpoint not found: manifest.json"},
                      RenderCase{"integrity", TarnwickError::integrity("abc", "def"),
                                 "Integrity check failed: expected abc, got def"},
                      RenderCase{"delta", TarnwickError::delta("d"), "Delta error: d"},
                      RenderCase{"storage", TarnwickError::storage("s"), "Storage backend error: s"},
                      RenderCase{"invalid_config", TarnwickError::invalid_config("c"), "Invalid configuration: c"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Errno, CarriesSystemTextAndContext) {
  auto error = TarnwickError::from_errno(ENOENT, "opening x");
  EXPECT_EQ(error.kind(), ErrorKind::Io);
  EXPECT_EQ(error.message(), "IO error: opening x: No such file or directory (os error 2)");
}

Result<int> half(int v) {
  if (v % 2) return fail(TarnwickError::delta("odd"));
  return v / 2;
}
Result<int> quarter(int v) {
  TW_ASSIGN_OR_RETURN(int h, half(v));
  TW_ASSIGN_OR_RETURN(int q, half(h));
  return q;
}
Status check_even(int v) {
  TW_RETURN_IF_ERROR(half(v));
  return {};
}

TEST(Macros, PropagateFirstError) {
  EXPECT_EQ(quarter(8).value(), 2);
  EXPECT_EQ(quarter(6).error().text(), "odd");
  EXPECT_TRUE(check_even(4).has_value());
  EXPECT_FALSE(check_even(5).has_value());
}

TEST(PanicMessage, TextPayloadsAndOthers) {
  EXPECT_EQ(panic_message(std::make_exception_ptr(std::runtime_error("boom"))), "boom");
  EXPECT_EQ(panic_message(std::make_exception_ptr(std::string("text"))), "text");
  EXPECT_EQ(panic_message(std::make_exception_ptr("literal")), "literal");
  EXPECT_EQ(panic_message(std::make_exception_ptr(42)), "unknown payload");
}

}  // namespace
}  // namespace tarnwick
