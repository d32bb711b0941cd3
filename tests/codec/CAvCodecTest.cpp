// Binding the codec libraries at run time, and what happens when one is
// missing. The failures end the process, so they run in a child process.
#include "codec/CAvCodec.h"
#include "codec/CAvUtil.h"
#include "dialogs/ConsoleDialogs.h"
#include "platform/DynamicLibrary.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace {

struct Wrapper : CAvUtil, CAvCodec {};

// In the child: a GUI application, and a timer that reads every message box
// that comes up, writes what it says to stderr and presses OK.
void BindInChildWithBoxesAnswered() {
    static int argc = 1;
    static char name[] = "CAvCodecTest";
    static char* argv[] = {name, nullptr};
    auto* app = new QApplication(argc, argv);
    InstallConsoleDialogs();
    auto* timer = new QTimer(app);
    QObject::connect(timer, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::fprintf(stderr, "[box caption=%s text=%s buttons=%d]\n",
                         box->windowTitle().toUtf8().constData(),
                         box->text().toUtf8().constData(), int(box->buttons().size()));
            box->button(QMessageBox::Ok)->click();
        }
    });
    timer->start(20);
    Wrapper w; // ends the process when a library is missing
    std::fprintf(stderr, "[bound]\n");
    std::exit(1);
}

} // namespace

TEST(CAvCodec, BindsTheInstalledLibrariesAndReleasesThemAfterwards) {
    EXPECT_EQ(CAvUtil::LibraryFileName(), "libavutil.so." + std::to_string(LIBAVUTIL_VERSION_MAJOR));
    EXPECT_EQ(CAvCodec::LibraryFileName(),
              "libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR));
    {
        auto a = std::make_unique<Wrapper>();
        auto b = std::make_unique<Wrapper>();
        EXPECT_EQ(AV_VERSION_MAJOR(a->avcodec_version()), LIBAVCODEC_VERSION_MAJOR)
            << "the headers and the loaded library are of one generation";
        EXPECT_NE(a->avcodec_find_decoder(AV_CODEC_ID_H264), nullptr);
        EXPECT_NE(a->avcodec_find_decoder(AV_CODEC_ID_AAC), nullptr);
        EXPECT_NE(a->avcodec_find_encoder(AV_CODEC_ID_AAC), nullptr);
        a.reset();
        // One wrapper gone leaves the other's entry points valid.
        AVCodecContext* context = b->avcodec_alloc_context3(nullptr);
        ASSERT_NE(context, nullptr);
        b->avcodec_free_context(&context);
        AVFrame* frame = b->av_frame_alloc();
        ASSERT_NE(frame, nullptr);
        b->av_frame_free(&frame);
    }
    EXPECT_FALSE(platform::IsLibraryLoaded(CAvCodec::LibraryFileName()));
    EXPECT_FALSE(platform::IsLibraryLoaded(CAvUtil::LibraryFileName()));
}

TEST(CAvCodecDeathTest, MissingAvutilIsTheOnlyLibraryReported) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            CAvUtil::OverrideLibraryFileName("libavutil.so.999");
            CAvCodec::OverrideLibraryFileName("libavcodec.so.999");
            BindInChildWithBoxesAnswered();
        },
        ::testing::ExitedWithCode(0),
        "^\\[box caption=Error text=Cannot load library libavutil.so.999 buttons=1\\]\n$");
}

TEST(CAvCodecDeathTest, MissingAvcodecIsReportedAfterAvutilLoaded) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            CAvCodec::OverrideLibraryFileName("libavcodec.so.999");
            BindInChildWithBoxesAnswered();
        },
        ::testing::ExitedWithCode(0),
        "^\\[box caption=Error text=Cannot load library libavcodec.so.999 buttons=1\\]\n$");
}

TEST(CAvCodecDeathTest, ALibraryWithoutTheEntryPointsCountsAsMissing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            CAvCodec::OverrideLibraryFileName("libm.so.6"); // loads, but binds nothing
            BindInChildWithBoxesAnswered();
        },
        ::testing::ExitedWithCode(0), "Cannot load library libm.so.6");
}

TEST(CAvCodecDeathTest, BothPresentShowNoMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(BindInChildWithBoxesAnswered(), ::testing::ExitedWithCode(1), "^\\[bound\\]\n$");
}
