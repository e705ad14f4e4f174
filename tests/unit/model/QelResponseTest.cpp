#include <QelAccess/PagingObject.h>
#include <QelAccess/QelException.h>
#include <QelAccess/QelResponse.h>
#include <QelAccess/SubscriptionResponse.h>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

using qel::QelException;
using qel::QelResponse;

namespace {

std::shared_ptr<std::string> text(const std::string& value) { return std::make_shared<std::string>(value); }

TEST(QelResponseTest, FreshRecordHasNoValuesAndAnUnsetLocationClearsAnEarlierOne) {
    QelResponse response;
    EXPECT_EQ(qelutil::HttpResponse::OTHER, response.getStatusCode());
    EXPECT_TRUE(!response.getStatus() && !response.getPaging() && !response.getTimestamp() && !response.getMessage() &&
                !response.getType() && !response.getEvent() && !response.getService() &&
                !response.getMultipleChoices() && !response.getHttpException());
    EXPECT_FALSE(response.getLocation().isValid());
    response.setLocation(qelutil::Optional<std::string>("http://10.0.0.2:8080/media"));
    EXPECT_EQ("http://10.0.0.2:8080/media", response.getLocation().getValue());
    response.setLocation(qelutil::Optional<std::string>());
    EXPECT_FALSE(response.getLocation().isValid());
}

TEST(QelResponseTest, MultipleChoiceTextMarksAbsentFields) {
    QelResponse::MultipleChoice choice;
    EXPECT_EQ("MultipleChoice{hostAddress=invalid, versions=invalid,description=invalid}", choice.toString());
    choice.hostAddress = text("http://10.0.0.1:80");
    choice.versions = text("1.0,2.0");
    choice.description = text("primary");
    EXPECT_EQ("MultipleChoice{hostAddress=http://10.0.0.1:80, versions=1.0,2.0,description=primary}",
              choice.toString());
    choice.hostAddress.reset();
    EXPECT_EQ("MultipleChoice{hostAddress=invalid, versions=1.0,2.0,description=primary}", choice.toString());
}

class EmptyTextError : public std::exception {
public:
    const char* what() const noexcept override { return ""; }
};

TEST(QelExceptionTest, TextWithAndWithoutCauseAndTheCauseIsNotKept) {
    const QelException inner("readResource failed", "unknown");
    const EmptyTextError empty;
    EXPECT_STREQ("QelException: unknown read root failed\n", QelException("read root failed", "unknown").what());
    EXPECT_STREQ("QelException: JSONException read failed\n", QelException("read failed", "JSONException", nullptr).what());
    EXPECT_STREQ("QelException: unknown read resource failed reason: QelException: unknown readResource failed\n\n",
                 QelException("read resource failed", "unknown", &inner).what());
    EXPECT_STREQ("QelException: unknown read service failed reason: \n",
                 QelException("read service failed", "unknown", &empty).what());
    EXPECT_STREQ("QelException:  \n", QelException("", "").what());

    std::unique_ptr<QelException> exception;
    {
        const std::runtime_error cause("connection refused");
        exception = std::make_unique<QelException>("read failed", "unknown", &cause);
    }
    EXPECT_STREQ("QelException: unknown read failed reason: connection refused\n", exception->what());
    try {
        throw QelException(*exception);
    } catch (const std::exception& caught) {
        EXPECT_STREQ(exception->what(), caught.what());
    }
}

TEST(SubscriptionResponseTest, HoldsACopyOfThePaging) {
    EXPECT_FALSE(qel::SubscriptionResponse().paging.isValid());
    qel::PagingObject paging;
    paging.total = 40;
    paging.limit = 10;
    paging.totalPages = 4;
    const qel::SubscriptionResponse response(paging);
    paging.total = 99;
    ASSERT_TRUE(response.paging.isValid());
    EXPECT_EQ(40, response.paging->total.getValue());
}

}  // namespace
