// The frame codec between devices: round trips, limits, damaged frames.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host/PeerFrameCodec.h"

namespace {

namespace Codec = Orvana::Host::PeerFrameCodec;
using Codec::Error;
using Orvana::API::PeerFrame;

std::string u32(std::uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string head(std::uint32_t count, std::uint32_t section, std::uint32_t body) {
    return "BKF1" + u32(count) + u32(section) + u32(body);
}

std::string field(const std::string& name, const std::string& value) {
    return std::string(1, static_cast<char>(name.size())) + name + u32(value.size()) + value;
}

PeerFrame frame(std::map<std::string, std::string> fields, std::string body) {
    PeerFrame f;
    f.fields = std::move(fields);
    f.body = std::move(body);
    return f;
}

TEST(PeerFrameCodec, DamagedFramesAreRefused) {
    const std::string one = field("op", "x");
    struct Case {
        const char* what;
        std::string bytes;
        Error expected;
    };
    const std::vector<Case> cases = {
        {"empty", "", Error::Truncated},
        {"short head", head(0, 0, 0).substr(0, 15), Error::Truncated},
        {"other magic", "HTTP" + u32(0) + u32(0) + u32(0), Error::BadMagic},
        {"a web request", "GET / HTTP/1.1\r\n\r\n", Error::BadMagic},
        {"too many fields", head(Codec::MAX_FIELDS + 1, (Codec::MAX_FIELDS + 1) * 6, 0),
         Error::TooManyFields},
        {"field section too large", head(1, Codec::MAX_FIELD_SECTION + 1, 0),
         Error::FieldsTooLarge},
        {"body too large", head(0, 0, Codec::MAX_BODY + 1), Error::BodyTooLarge},
        {"body size at the top", head(0, 0, 0xffffffffu), Error::BodyTooLarge},
        {"count beyond the section", head(2, one.size(), 0) + one, Error::Truncated},
        {"section cut", head(1, one.size(), 0) + one.substr(0, 3), Error::Truncated},
        {"body cut", head(0, 0, 5) + "abc", Error::Truncated},
        {"bytes after", head(0, 0, 1) + "ab", Error::TrailingBytes},
        {"section longer than its fields", head(1, one.size() + 1, 0) + one + "z",
         Error::TrailingBytes},
        {"value runs past the section",
         head(1, 8, 0) + std::string(1, '\2') + "op" + u32(100) + "x", Error::Truncated},
        {"upper-case name", head(1, 7, 0) + field("Op", ""), Error::BadFieldName},
        {"empty name", head(1, 6, 0) + std::string(1, '\0') + u32(1) + "x", Error::BadFieldName},
        {"name with a slash", head(1, 7, 0) + field("a/", ""), Error::BadFieldName},
        {"duplicate names", head(2, 12, 0) + field("a", "") + field("a", ""),
         Error::FieldsOutOfOrder},
        {"names out of order", head(2, 12, 0) + field("b", "") + field("a", ""),
         Error::FieldsOutOfOrder},
    };
    for (const Case& c : cases) {
        PeerFrame parsed;
        EXPECT_EQ(c.expected, Codec::parseFrame(c.bytes, parsed)) << c.what;
    }
}

// What parses encodes back to the same bytes, up to the most a frame may
// carry; one byte or field more is refused both when sending and when reading.
TEST(PeerFrameCodec, FramesRoundTripUpToTheirLimitsAndNoFurther) {
    std::map<std::string, std::string> fields;
    const std::size_t each = Codec::MAX_FIELD_BYTES / Codec::MAX_FIELDS;
    for (std::size_t i = 0; i < Codec::MAX_FIELDS; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "f%04zu", i);
        fields[name] = std::string(each - 5, 'v');
    }
    const PeerFrame full = frame(fields, std::string(Codec::MAX_BODY, 'b'));
    ASSERT_EQ(Error::None, Codec::check(full));
    PeerFrame back;
    for (const PeerFrame& f :
         {frame({}, ""), full,
          frame({{"a_2", ""}, {"op", "store"}, {"path", std::string("a\0/\xff", 4)}},
                std::string("\0\1\2", 3))}) {
        const std::string bytes = Codec::encode(f);
        ASSERT_EQ(Error::None, Codec::parseFrame(bytes, back));
        EXPECT_EQ(f.fields, back.fields);
        EXPECT_EQ(f.body, back.body);
        EXPECT_EQ(bytes, Codec::encode(back));
    }

    PeerFrame bigBody = full;
    bigBody.body.push_back('b');
    EXPECT_EQ(Error::BodyTooLarge, Codec::check(bigBody));
    PeerFrame bigValue = full;
    bigValue.fields["f0000"].push_back('v');
    EXPECT_EQ(Error::FieldsTooLarge, Codec::check(bigValue));
    EXPECT_EQ(Error::FieldsTooLarge, Codec::parseFrame(Codec::encode(bigValue), back));
    PeerFrame manyFields = frame({}, "");
    for (std::size_t i = 0; i <= Codec::MAX_FIELDS; ++i)
        manyFields.fields["n" + std::to_string(10000 + i)] = "";
    EXPECT_EQ(Error::TooManyFields, Codec::check(manyFields));
    EXPECT_EQ(Error::TooManyFields, Codec::parseFrame(Codec::encode(manyFields), back));
    EXPECT_EQ(Error::BadFieldName, Codec::check(frame({{"Bad", ""}}, "")));
    EXPECT_EQ(Error::BadFieldName, Codec::check(frame({{std::string(256, 'a'), ""}}, "")));
}

}  // namespace
