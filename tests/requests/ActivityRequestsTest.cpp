// The activity document.

#include "RequestsFixture.h"

namespace {

typedef RequestsTest ActivityRequestsTest;

TEST_F(ActivityRequestsTest, ActivityDocumentEscapesTextsAndListsNewestFirst) {
    EXPECT_EQ("<getactivity></getactivity>", request("getactivity"));
    ASSERT_TRUE(db->addActivity(5, 1, "copied a & b"));
    ASSERT_TRUE(db->addActivity(-3, 2, "<stopped>\n"));
    EXPECT_EQ(
        "<getactivity>"
        "<activity><recid>-3</recid><severity>2</severity><text>&lt;stopped&gt;&#x0A;</text></"
        "activity>"
        "<activity><recid>5</recid><severity>1</severity><text>copied a &amp; b</text></activity>"
        "</getactivity>",
        request("getactivity"));
}

}  // namespace
