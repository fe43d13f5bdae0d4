// The shared rows through the C interface, on guarded pages: the scanning primitives', and the
// field rows, which also go through hdx.hpp for the same result and the same buffer afterwards.
#include <gtest/gtest.h>

#include <string>

#include "cases.h"
#include "guarded.h"
#include "hdx.hpp"
#include "outcome.h"

namespace {

using hdx_test::FieldCase;
using hdx_test::GuardedBytes;

// The C call's result as outcome() states it, and the buffer afterwards.
std::string c_result(const FieldCase& c, GuardedBytes& buf) {
  if (c.kind == "path") return hdx_test::outcome(HDXExtractEmailAddrFromReverseOrForwardPath, buf, 64);
  if (c.kind != "received") {
    return hdx_test::outcome(c.kind == "from" ? HDXExtractSenderEmailAddrFromFromHdrField
                                              : HDXExtractSenderEmailAddrFromReturnPathHdrField,
                             buf, 64);
  }
  char* ip = nullptr;
  std::uint32_t len = 99;
  if (HDXExtractSenderIPFromRcvdHdrField(buf.data(), buf.len(), &ip, &len) != HDX_OK) {
    EXPECT_TRUE(ip == nullptr && len == 99);  // outputs untouched
    return "-";
  }
  EXPECT_TRUE(ip >= buf.data() && ip + len <= buf.data() + buf.len());
  return std::string(ip, len);
}

std::optional<std::string> cpp_result(const FieldCase& c, std::string& buf) {
  if (c.kind == "path") return hdx::path_address(buf);
  if (c.kind != "received") return hdx::sender_address_in_place(buf);
  const auto ip = hdx::sender_ip_in_place(buf);
  return ip ? std::optional<std::string>(*ip) : std::nullopt;
}

TEST(FieldCases, CAndCpp) {
  for (const FieldCase& c : hdx_test::field_cases()) {
    SCOPED_TRACE(c.kind + ": " + c.name);
    GuardedBytes guarded(c.input);
    std::string buf = c.input;
    // outcome() writes a failure that left bytes in `out` as "!" and those bytes; rows whose
    // failures leave some are the C tables'.
    EXPECT_EQ(c_result(c, guarded), c.result.value_or("-"));
    EXPECT_EQ(cpp_result(c, buf), c.result);
    const std::string after = c.kind == "path" ? c.input : c.after.value_or(guarded.str());
    EXPECT_EQ(guarded.str(), after);
    EXPECT_EQ(buf, after);
  }
}

// A failed call leaves its outputs as they were.
TEST(PrimitiveCases, C) {
  for (const auto& r : hdx_test::kPrimitiveRows) {
    const std::string& kind = r[0];
    SCOPED_TRACE(kind + ": " + r[1]);
    GuardedBytes in(r[2]), pattern(r[3]);
    std::uint32_t a = 77, b = 77;
    const char* at = nullptr;
    const auto pair = [&](std::int32_t rc, std::uint32_t first) {
      return rc < 0 ? "-" : std::to_string(first) + " " + std::to_string(b);
    };
    std::string got;
    if (kind == "search") {
      const std::int32_t rc =
          HDXSearchPattern(in.data(), in.len(), pattern.data(), pattern.len(), &at, &b);
      got = pair(rc, static_cast<std::uint32_t>(at - in.data())) +
            (rc == HDX_PARTIAL_MATCH ? " partial" : "");
    } else if (kind == "line_end") {
      const std::int32_t rc = HDXFindEmailLineEnd(in.data(), in.len(), &a, &b);
      got = pair(rc, a);
    } else if (kind == "not_space") {
      got = std::to_string(HDXIsNotSpacePresent(in.first(), in.last()));
    } else if (kind == "unfold") {
      got = std::to_string(HDXUnfoldEmailHdrLine(in.data(), in.len()));
      EXPECT_EQ(in.str(), r[5]);
    } else {
      const auto measure = kind == "comment" ? HDXFindEmailCommentEnd : HDXFindEmailQuotedStringEnd;
      const std::int32_t rc = measure(in.first(), in.last(), &a);
      got = rc < 0 ? "-" : std::to_string(a);
    }
    EXPECT_EQ(got, r[4]);
    if (got == "-") {
      EXPECT_TRUE(a == 77 && b == 77 && at == nullptr);
    }
  }
}

}  // namespace
