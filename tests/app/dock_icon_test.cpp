// The tray picture: which file each icon number shows, the cache of the number
// shown, and every failure on the way from the file to the picture.
#include <gtest/gtest.h>

#include <QImage>
#include <filesystem>
#include <string>

#include "app/dock_icon.h"
#include "platform/core/bundle.h"
#include "platform/icons/icons.h"
#include "tests/support/stderr_capture.h"

namespace fs = std::filesystem;

namespace {

const fs::path kResources = PORTVANE_SOURCE_DIR "/resources";
const fs::path kTestData = PORTVANE_SOURCE_DIR "/tests/data";

// A bundle of its own, so files can go missing or be damaged.
class DockIconTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("portvane-dock-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    for (const char* name : {"pc1.icns", "pc2.icns", "pc3.icns", "pc4.icns", "portvane.icns"}) {
      fs::copy_file(kResources / name, dir_ / name);
    }
    previous_ = platform::bundleResourcesDirectory();
    platform::setBundleResourcesDirectory(dir_.string());
    CurrentIconNumber = -1;
    RestoreApplicationDockTileImage();
  }
  void TearDown() override {
    platform::setBundleResourcesDirectory(previous_);
    fs::remove_all(dir_);
    CurrentIconNumber = -1;
    RestoreApplicationDockTileImage();
  }

  fs::path dir_;
  std::string previous_;
  testsupport::StderrCapture err_;
};

// The artwork's pixels as the tray shows them: colour where the mask is opaque.
void ExpectShows(const char* artwork) {
  QImage expected = QImage(QString::fromStdString((kResources / "artwork" / artwork).string()))
                        .convertToFormat(QImage::Format_ARGB32);
  const QImage& tile = platform::dockTileImage();
  ASSERT_EQ(QSize(128, 128), tile.size());
  ASSERT_EQ(QSize(128, 128), expected.size());
  int compared = 0;
  for (int y = 0; y < 128; ++y) {
    for (int x = 0; x < 128; ++x) {
      QRgb want = expected.pixel(x, y);
      QRgb got = tile.pixel(x, y);
      ASSERT_EQ(qAlpha(want), qAlpha(got)) << artwork << " at " << x << "," << y;
      if (qAlpha(want) == 255) {
        ASSERT_EQ(want, got) << artwork << " at " << x << "," << y;
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, 1000);
}

}  // namespace

TEST_F(DockIconTest, EachIconNumberShowsItsPicture) {
  ChangeDockIcon(1);
  ExpectShows("pc2.png");
  ChangeDockIcon(3);
  ExpectShows("pc4.png");
  ChangeDockIcon(7);
  ExpectShows("portvane.png");
  EXPECT_EQ(7, CurrentIconNumber);
  EXPECT_EQ("", err_.take());
}

TEST_F(DockIconTest, TheFirstRequestForTheOwnPictureDoesNothing) {
  ChangeDockIcon(-1);
  EXPECT_TRUE(platform::dockTileImage().isNull());
  EXPECT_EQ(-1, CurrentIconNumber);
}

TEST_F(DockIconTest, TheNumberShownIsNotLoadedAgain) {
  ChangeDockIcon(0);
  fs::remove(dir_ / "pc1.icns");
  ChangeDockIcon(0);
  EXPECT_EQ("", err_.take());
  ExpectShows("pc1.png");
}

TEST_F(DockIconTest, SevenAndMinusOneAreDifferentNumbersForTheSamePicture) {
  ChangeDockIcon(7);
  fs::remove(dir_ / "portvane.icns");
  ChangeDockIcon(-1);
  EXPECT_EQ("RegisterIcon Error:  Invalid iconFileURL", err_.take());
  EXPECT_EQ(7, CurrentIconNumber);
}

TEST_F(DockIconTest, AMissingFileIsReportedOnEveryRequest) {
  fs::remove(dir_ / "pc2.icns");
  ChangeDockIcon(1);
  ChangeDockIcon(1);
  EXPECT_EQ("RegisterIcon Error:  Invalid iconFileURLRegisterIcon Error:  Invalid iconFileURL", err_.take());
  EXPECT_EQ(-1, CurrentIconNumber);
  EXPECT_TRUE(platform::dockTileImage().isNull());
}

TEST_F(DockIconTest, AFileThatIsNoIconIsNotCountedAsShown) {
  fs::copy_file(kTestData / "not-an-icon.icns", dir_ / "pc3.icns", fs::copy_options::overwrite_existing);
  ChangeDockIcon(2);
  EXPECT_EQ("", err_.take());
  EXPECT_EQ(-1, CurrentIconNumber);
}

TEST_F(DockIconTest, AnIconWithoutMaskKeepsTheOldPictureAndCountsAsShown) {
  ChangeDockIcon(0);
  fs::copy_file(kTestData / "no-mask.icns", dir_ / "pc2.icns", fs::copy_options::overwrite_existing);
  ChangeDockIcon(1);
  EXPECT_EQ("ChangeDocIcon Error:  GetIconFamilyData for mask  return error fffffc18\n", err_.take());
  EXPECT_EQ(1, CurrentIconNumber);
  ExpectShows("pc1.png");
  ChangeDockIcon(1);
  EXPECT_EQ("", err_.take());
}

TEST_F(DockIconTest, AnIconWithoutThe128PictureFailsAtTheDataStep) {
  fs::copy_file(kTestData / "small-only.icns", dir_ / "pc4.icns", fs::copy_options::overwrite_existing);
  ChangeDockIcon(3);
  EXPECT_EQ("ChangeDocIcon Error:  GetIconFamilyData for data return error fffff7e9\n", err_.take());
  EXPECT_EQ(3, CurrentIconNumber);
  EXPECT_TRUE(platform::dockTileImage().isNull());
}
