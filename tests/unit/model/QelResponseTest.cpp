#include <QelAccess/PagingObject.h>
#include <QelAccess/QelException.h>
#include <QelAccess/QelResponse.h>
#include <QelAccess/SubscriptionResponse.h>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using qel::QelException;
using qel::QelResponse;

namespace {

std::shared_ptr<std::string> text(const std::string& value) { return std::make_shared<std::string>(value); }

TEST(QelResponseTest, FreshRecordHasNoValues) {
    const QelResponse response;
    EXPECT_EQ(qelutil::HttpResponse::OTHER, response.getStatusCode());
    EXPECT_EQ(nullptr, response.getStatus());
    EXPECT_EQ(nullptr, response.getPaging());
    EXPECT_EQ(nullptr, response.getTimestamp());
    EXPECT_EQ(nullptr, response.getMessage());
    EXPECT_EQ(nullptr, response.getType());
    EXPECT_EQ(nullptr, response.getEvent());
    EXPECT_EQ(nullptr, response.getService());
    EXPECT_EQ(nullptr, response.getMultipleChoices());
    EXPECT_EQ(nullptr, response.getHttpException());
    EXPECT_FALSE(response.getLocation().isValid());
}

TEST(QelResponseTest, GettersShareTheStoredObjects) {
    QelResponse response;
    auto status = text("ok");
    auto message = text("fine");
    auto type = text("resource");
    auto event = text("ev-1");
    auto service = text("media");
    auto timestamp = std::make_shared<int64_t>(1234567890123);
    auto paging = std::make_shared<qel::PagingObject>();
    auto failure = std::make_shared<QelException>("read failed", "unknown");

    response.setStatusCode(qelutil::HttpResponse::NOT_FOUND);
    response.setStatus(status);
    response.setMessage(message);
    response.setType(type);
    response.setEvent(event);
    response.setService(service);
    response.setTimestamp(timestamp);
    response.setPaging(paging);
    response.setHttpException(failure);

    EXPECT_EQ(qelutil::HttpResponse::NOT_FOUND, response.getStatusCode());
    EXPECT_EQ(status.get(), response.getStatus().get());
    EXPECT_EQ(message.get(), response.getMessage().get());
    EXPECT_EQ(type.get(), response.getType().get());
    EXPECT_EQ(event.get(), response.getEvent().get());
    EXPECT_EQ(service.get(), response.getService().get());
    EXPECT_EQ(timestamp.get(), response.getTimestamp().get());
    EXPECT_EQ(paging.get(), response.getPaging().get());
    EXPECT_EQ(failure.get(), response.getHttpException().get());
    EXPECT_STREQ("QelException: unknown read failed\n", response.getHttpException()->what());

    // A change made through the caller's pointer is visible: nothing was copied.
    *status = "changed";
    EXPECT_EQ("changed", *response.getStatus());

    // Replacing a field releases the record's hold on the previous object.
    std::weak_ptr<std::string> oldMessage = message;
    message.reset();
    response.setMessage(text("other"));
    EXPECT_TRUE(oldMessage.expired());
    EXPECT_EQ("other", *response.getMessage());

    response.setStatus(nullptr);
    EXPECT_EQ(nullptr, response.getStatus());
}

TEST(QelResponseTest, UnsetLocationClearsAnEarlierOne) {
    QelResponse response;
    response.setLocation(qelutil::Optional<std::string>("http://10.0.0.2:8080/media"));
    ASSERT_TRUE(response.getLocation().isValid());
    EXPECT_EQ("http://10.0.0.2:8080/media", response.getLocation().getValue());

    response.setLocation(qelutil::Optional<std::string>());
    EXPECT_FALSE(response.getLocation().isValid());
    EXPECT_THROW(response.getLocation().getValue(), std::runtime_error);
}

TEST(QelResponseTest, MultipleChoicesAreTheStoredVector) {
    QelResponse response;
    auto choices = std::make_shared<std::vector<QelResponse::MultipleChoice>>();
    response.setMultipleChoices(choices);

    response.getMultipleChoices()->push_back(QelResponse::MultipleChoice{nullptr, text("10.0.0.1"), nullptr});
    ASSERT_EQ(1u, choices->size());
    EXPECT_EQ("10.0.0.1", *choices->front().hostAddress);
    EXPECT_EQ(choices.get(), response.getMultipleChoices().get());
}

TEST(QelResponseTest, MultipleChoiceTextMarksAbsentFields) {
    QelResponse::MultipleChoice choice;
    EXPECT_EQ("MultipleChoice{hostAddress=invalid, versions=invalid,description=invalid}", choice.toString());

    choice.hostAddress = text("http://10.0.0.1:80");
    EXPECT_EQ("MultipleChoice{hostAddress=http://10.0.0.1:80, versions=invalid,description=invalid}",
              choice.toString());

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

TEST(QelExceptionTest, TextWithAndWithoutCause) {
    const QelException plain("read root failed", "unknown");
    EXPECT_STREQ("QelException: unknown read root failed\n", plain.what());

    const QelException explicitNull("read failed", "JSONException", nullptr);
    EXPECT_STREQ("QelException: JSONException read failed\n", explicitNull.what());

    const QelException inner("readResource failed", "unknown");
    const QelException outer("read resource failed", "unknown", &inner);
    EXPECT_STREQ("QelException: unknown read resource failed reason: QelException: unknown readResource failed\n\n",
                 outer.what());

    const EmptyTextError empty;
    const QelException withEmptyCause("read service failed", "unknown", &empty);
    EXPECT_STREQ("QelException: unknown read service failed reason: \n", withEmptyCause.what());

    const QelException emptyParts("", "");
    EXPECT_STREQ("QelException:  \n", emptyParts.what());
}

TEST(QelExceptionTest, CauseIsNotKept) {
    std::unique_ptr<QelException> exception;
    {
        const std::runtime_error cause("connection refused");
        exception = std::make_unique<QelException>("read failed", "unknown", &cause);
    }
    EXPECT_STREQ("QelException: unknown read failed reason: connection refused\n", exception->what());

    // Copies carry the text; caught as std::exception it is the same.
    try {
        throw QelException(*exception);
    } catch (const std::exception& caught) {
        EXPECT_STREQ(exception->what(), caught.what());
    }
}

TEST(SubscriptionResponseTest, HoldsACopyOfThePaging) {
    const qel::SubscriptionResponse none;
    EXPECT_FALSE(none.paging.isValid());

    qel::PagingObject paging;
    paging.total = 40;
    paging.limit = 10;
    paging.totalPages = 4;
    const qel::SubscriptionResponse response(paging);
    paging.total = 99;

    ASSERT_TRUE(response.paging.isValid());
    EXPECT_EQ(40, response.paging->total.getValue());
    EXPECT_TRUE(response.paging->isPagingEnabled());
}

}  // namespace
