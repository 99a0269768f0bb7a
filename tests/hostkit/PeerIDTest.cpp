#include <gtest/gtest.h>

#include "hostapi/PeerID.h"

using Orvana::Data::PeerID;

namespace {

struct Parse {
    const char* text;
    const char* user;
    const char* name;
    const char* hostName;
    const char* hostWithPort;
    const char* form;
};

const Parse kParses[] = {
    {"me@myhost", "me", "me", "myhost", "myhost:24465", "me@myhost"},
    {"  me @ myhost  ", "me", "me", "myhost", "myhost:24465", "me@myhost"},
    {"me~laptop@myhost:9000", "me~laptop", "me", "myhost", "myhost:9000", "me~laptop@myhost"},
    {"Me@MyHost", "Me", "Me", "MyHost", "MyHost:24465", "Me@MyHost"},
    // Blanks before the port are not part of the host name: the text form
    // must parse back to the same id.
    {"me@myhost :9000", "me", "me", "myhost", "myhost :9000", "me@myhost"},
};

}  // namespace

TEST(PeerID, ParsesOnlyWellFormedTexts) {
    for (const Parse& p : kParses) {
        SCOPED_TRACE(p.text);
        PeerID id(p.text);
        EXPECT_TRUE(id.isValid());
        EXPECT_EQ(p.form, id.toString());
        EXPECT_EQ(p.user, id.getUser());
        EXPECT_EQ(p.name, id.getName());
        EXPECT_EQ(p.hostName, id.getHostName());
        EXPECT_EQ(p.hostWithPort, id.getHostWithPort());
    }
    for (const char* text : {"me", "", "@myhost", "me@", "a@b@c", "me~a~b@myhost", "me@host:1:2",
                             "me@:9000", "me@ :9000"}) {
        EXPECT_FALSE(PeerID(text).isValid()) << text;
        EXPECT_EQ("", PeerID(text).toString()) << text;
    }
    EXPECT_FALSE(PeerID().isValid());
}

TEST(PeerID, EqualityAndOrderingIgnoreCaseAndAgree) {
    // The port is not part of the text form, so it does not tell peers apart.
    EXPECT_EQ(PeerID("Me@MyHost"), PeerID("me@myhost:1234"));
    EXPECT_NE(PeerID("me@myhost"), PeerID("me~x@myhost"));
    EXPECT_NE(PeerID("me@myhost"), PeerID("you@myhost"));

    const char* texts[] = {"b@h", "A@h", "a@H", "B@h", "c@x", "a~1@h", "Z@h", "_@h", "me@"};
    for (const char* a : texts) {
        for (const char* b : texts) {
            PeerID x(a), y(b);
            SCOPED_TRACE(std::string(a) + " vs " + b);
            // Exactly one of <, >, == holds.
            EXPECT_EQ(1, int(x < y) + int(y < x) + int(x == y));
        }
    }
}
