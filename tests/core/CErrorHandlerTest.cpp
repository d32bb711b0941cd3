#include "core/CErrorHandler.h"
#include "platform/SocketCompat.h"
#include "support/RecordingLine.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

using testing_support::RecordingLine;

namespace {

std::string Narrow(const std::u16string& s) {
    return std::string(s.begin(), s.end());
}

} // namespace

TEST(CErrorHandler, CodesBecomeTheSystemsTextOrNothing) {
    RecordingLine line;
    CErrorHandler handler(&line);

    handler.Report(kReportSystemError, 0);
    EXPECT_TRUE(line.Texts().empty()) << "code 0 leaves the line as it was";

    handler.Report(kReportSystemError, ECONNRESET);
    ASSERT_EQ(line.Texts().size(), 1u);
    EXPECT_EQ(Narrow(line.Texts()[0]), "Connection reset by peer");
    EXPECT_NE(line.Texts()[0].back(), u'\n');

    handler.Report(kReportSystemError, 987654);
    ASSERT_EQ(line.Texts().size(), 2u);
    EXPECT_EQ(line.Texts()[1], u"Unknown error.");

    handler.Report(kReportInternetError, EADDRINUSE);
    ASSERT_EQ(line.Texts().size(), 3u);
    EXPECT_EQ(Narrow(line.Texts()[2]), "Address already in use");
    handler.Report(kReportInternetError, 0);
    EXPECT_EQ(line.Texts().size(), 3u);
}

TEST(CErrorHandler, ReadyTextsPassUnchangedAndUnknownKindsAreIgnored) {
    RecordingLine line;
    CErrorHandler handler(&line);
    handler.ReportText(u"No error.");
    handler.Report(7, ECONNRESET);
    handler.Report(-1, ECONNRESET);
    ASSERT_EQ(line.Texts().size(), 1u);
    EXPECT_EQ(line.Texts()[0], u"No error.");
}

TEST(Utf8ToUtf16, DecodesMultiByteAndReplacesMalformedInput) {
    EXPECT_EQ(Utf8ToUtf16("Gr\xC3\xBC\xC3\x9F"
                          "e"),
              u"Gr\u00FC\u00DFe");
    EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x8E\xA5"), u"\U0001F3A5");
    EXPECT_EQ(Utf8ToUtf16("a\xFF"
                          "b"),
              u"a\uFFFDb");
    EXPECT_EQ(Utf8ToUtf16("cut\xE2\x82"), u"cut\uFFFD\uFFFD");
}
