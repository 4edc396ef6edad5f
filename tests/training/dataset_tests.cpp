#include <gtest/gtest.h>

#include <iterator>

#include "confusion_report.hpp"
#include "dataset.hpp"
#include "drawn_leaves.hpp"
#include "handoff.hpp"
#include "picture.hpp"
#include "test_support.hpp"

namespace fs = std::filesystem;

namespace {

void makeClassFolders(const fs::path& root, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        fs::create_directories(root / name);
    }
}

TEST(Dataset, FindsImagesInFoldersOfAnyLetterCase) {
    TempDir dir;
    makeClassFolders(dir.path(), {"Ginkgo", "LIME", "maple", "Oak", "wIlLoW", "Other"});
    dir.write("Other/birch.jpg", "x");
    dir.write("SOURCES.md", "notes beside the folders are fine");
    // Every kind of picture the program reads, by its extension in any letter case.
    const std::vector<std::string> kinds = {"a.png",  "b.JPG",  "c.jpeg", "d.bmp", "e.tif",
                                            "f.TIFF", "g.webp", "h.pgm",  "i.ppm", "j.pbm"};
    for (const std::string& name : kinds) {
        dir.write("Oak/" + name, "x");
    }
    dir.write("Oak/readme.txt", "not an image");
    dir.write("wIlLoW/c.jpeg", "x");
    const DatasetScan scan = scanDataset(dir.path().string());
    ASSERT_EQ(scan.fault, "");
    ASSERT_EQ(scan.images.size(), kinds.size() + 2);
    for (size_t k = 0; k < kinds.size(); ++k) {
        EXPECT_EQ(fs::path(scan.images[k].path).filename(), kinds[k]);
        EXPECT_EQ(scan.images[k].label, 3);
    }
    EXPECT_EQ(scan.images[kinds.size()].label, 4);
    EXPECT_EQ(scan.images[kinds.size() + 1].label, 5);
    EXPECT_EQ(scan.classes.back(), "other");
    // A species twice, in another letter case, is refused.
    for (const char* twice : {"OAK", "oTHER"}) {
        makeClassFolders(dir.path(), {twice});
        EXPECT_NE(scanDataset(dir.path().string()).fault.find("two folders for"), std::string::npos)
            << twice;
        fs::remove(dir.path() / twice);
    }
}

TEST(Dataset, MeasuresLikeTheProgramWithoutPrinting) {
    TempDir dir;
    const std::string path = dir.file("leaf.png");
    ASSERT_TRUE(cv::imwrite(path, drawLeaf(90, 30, 0.0)));
    CoutCapture capture;
    const Measurement measured = measurePicture(readGreyPicture(path));
    EXPECT_EQ(capture.text(), "");
    ASSERT_EQ(measured.verdict, LeafVerdict::Measured);
    // Exactly the values the program hands to the network: its text, read back.
    std::istringstream text(toFeatureText(analyzeLeafImage(path, false, false).features));
    EXPECT_EQ(measured.features, std::vector<double>(std::istream_iterator<double>(text), {}));
}

TEST(Dataset, TurnedCopyKeepsTheWholeLeafOnWhite) {
    const cv::Mat leaf = drawLeaf(100, 20, 0.0);  // upright, 200 px tall
    const cv::Mat turned = turnAndShrink(leaf, 90.0, 1.0);
    EXPECT_NEAR(turned.cols, leaf.rows, 1);
    EXPECT_NEAR(turned.rows, leaf.cols, 1);
    EXPECT_EQ(turned.at<uchar>(0, 0), 255);
    // Lying down now: the dark pixels spread wide rather than tall.
    cv::Mat dark;
    cv::threshold(turned, dark, 128, 255, cv::THRESH_BINARY_INV);
    const cv::Rect box = cv::boundingRect(dark);
    EXPECT_GT(box.width, 3 * box.height);
    const cv::Mat shrunk = turnAndShrink(leaf, 0.0, 0.5);
    cv::threshold(shrunk, dark, 128, 255, cv::THRESH_BINARY_INV);
    EXPECT_NEAR(cv::boundingRect(dark).height, 100, 3);
    EXPECT_EQ(shrunk.size(), leaf.size());
}

TEST(Dataset, EveryMeasuredPhotoGetsItsCopies) {
    TempDir dir;
    makeDrawnFolder(dir.path(), 2);
    cv::imwrite(dir.file("ginkgo/blank.png"), cv::Mat(100, 100, CV_8UC1, cv::Scalar(255)));
    const DatasetScan scan = scanDataset(dir.path().string());
    ASSERT_EQ(scan.fault, "");
    int calls = 0;
    const CollectedExamples collected =
        collectExamples(scan.images, 0, 3, 15.0, [&](int done, int total) {
            EXPECT_EQ(std::make_pair(done, total), std::make_pair(++calls, 5));
        });
    EXPECT_EQ(calls, 5);
    ASSERT_EQ(collected.examples.size(), 4u);
    ASSERT_EQ(collected.skipped.size(), 1u);
    EXPECT_EQ(collected.skipped[0].second, LeafVerdict::NoLeaf);
    for (const Example& example : collected.examples) {
        ASSERT_EQ(example.variants.size(), 4u);  // the photo and three copies
        EXPECT_NE(example.variants[1], example.variants[0]);
    }
    EXPECT_EQ(collected.examples[0].variants[0],
              measurePicture(readGreyPicture(scan.images[1].path)).features);
}

TEST(Report, FiguresFromAConfusionMatrix) {
    std::ostringstream text;
    printConfusionReport(text, {{8, 2, 0}, {1, 4, 0}, {0, 0, 0}}, {"a", "b", "c"});
    // Class b: 4 of its 5 photos named right (recall), 4 of the 6 named b are b (precision).
    EXPECT_EQ(text.str(),
              "Accuracy: 80.0% (12 of 15)\n\n"
              "class     images    recall precision\n"
              "a             10     80.0%     88.9%\n"
              "b              5     80.0%     66.7%\n"
              "c              0      0.0%      0.0%\n\n"
              "Confusion matrix (rows: true class, columns: predicted class)\n"
              "               a       b       c\n"
              "a              8       2       0\n"
              "b              1       4       0\n"
              "c              0       0       0\n");
}

TEST(Report, DrawsRightAnswersGreenAndErrorsRed) {
    TempDir dir;
    // Pixels clearly tinted towards red or green, as the shading of a cell makes them.
    const auto tinted = [&](const ConfusionMatrix& matrix) {
        const std::string path = dir.file("matrix.png");
        EXPECT_EQ(drawConfusionMatrix(matrix, {"round", "long"}, "test", path), "");
        const cv::Mat picture = cv::imread(path);
        EXPECT_FALSE(picture.empty());
        cv::Mat bgr[3];
        cv::split(picture, bgr);
        return std::pair{cv::countNonZero(bgr[2] > bgr[1] + 60),
                         cv::countNonZero(bgr[1] > bgr[2] + 60)};
    };
    const auto [perfectRed, perfectGreen] = tinted({{4, 0}, {0, 4}});
    const auto [mixedRed, mixedGreen] = tinted({{3, 1}, {0, 4}});
    EXPECT_EQ(perfectRed, 0);
    EXPECT_GT(perfectGreen, 2 * 80 * 80);  // two full cells
    EXPECT_GT(mixedRed, 80 * 80);          // one error in four is shaded strongly
    EXPECT_LT(mixedGreen, perfectGreen);
    EXPECT_NE(drawConfusionMatrix({{1}}, {"x"}, "t", dir.file("no/such/folder.png")), "");
}

TEST(Dataset, CopiesTurnEachWayUpToTheLargestTurn) {
    const struct {
        int k, copies;
        double turn, angle, scale;
    } cases[] = {{1, 4, 15, -7.5, 0.85}, {2, 4, 15, 7.5, 0.7},  {3, 4, 15, -15, 1.0},
                 {4, 4, 15, 15, 0.85},   {1, 1, 20, -20, 0.85}, {3, 3, 20, -20, 1.0}};
    for (const auto& c : cases) {
        double angle = 0.0;
        double scale = 0.0;
        copyTransform(c.k, c.copies, c.turn, angle, scale);
        EXPECT_EQ(angle, c.angle) << c.k << " of " << c.copies;
        EXPECT_EQ(scale, c.scale) << c.k << " of " << c.copies;
    }
}

TEST(Groups, ReadsPathsAndGroupsAndGivesThemToTheImages) {
    TempDir dir;
    const std::string file = dir.write("groups.csv",
                                       "path,group\r\noak/a.jpg,leaf 1\r\n\noak/b.jpg,leaf 1\n"
                                       "./maple/c.jpg,x,y\n");
    const GroupList groups = readGroups(file, {"oak/a.jpg", "oak/b.jpg", "maple/c.jpg", "x"});
    ASSERT_EQ(groups.fault, "");
    EXPECT_EQ(groups.groupOf,
              (std::map<std::string, std::string>{
                  {"oak/a.jpg", "leaf 1"}, {"oak/b.jpg", "leaf 1"}, {"maple/c.jpg", "x,y"}}));
    std::vector<LabelledImage> images = {{"data/Oak/a.jpg", 3, ""},
                                         {"data/oak/a.jpg", 3, ""},
                                         {"data/maple/c.jpg", 2, ""},
                                         {"data/maple/d.jpg", 2, ""}};
    EXPECT_EQ(assignGroups(images, "data", groups), 2u);
    EXPECT_EQ(images[0].group, "");  // paths are matched exactly, letter case included
    EXPECT_EQ(images[1].group, "leaf 1");
    EXPECT_EQ(images[2].group, "x,y");
    EXPECT_EQ(images[3].group, "");
}

TEST(Groups, MalformedFilesAreRefusedWithTheLine) {
    TempDir dir;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"oak/a.jpg,\n", "line 1: expected 'path,group', not 'oak/a.jpg,'"},
        {",leaf\n", "line 1: expected 'path,group'"},
        {"oak/a.jpg,1\nmaple/b.jpg,2\noak/a.jpg,3\n", "line 3: 'oak/a.jpg' is listed twice"},
        {"path,group\npath,group\n" + std::string(100, 'x') + "\n", "line 3: expected"},
        {"oak/a.jpg,1\n" + std::string(9000, 'x') + ",1\n", "line 2 is longer than 8192"},
    };
    for (const auto& [content, fault] : cases) {
        const GroupList groups = readGroups(dir.write("groups.csv", content), {"oak/a.jpg"});
        EXPECT_NE(groups.fault.find(fault), std::string::npos) << groups.fault;
        EXPECT_TRUE(groups.groupOf.empty());
    }
    EXPECT_NE(readGroups(dir.path().string(), {}).fault.find("not a regular file"),
              std::string::npos);
}

}  // namespace
