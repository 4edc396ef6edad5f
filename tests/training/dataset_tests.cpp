#include <gtest/gtest.h>

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
    makeClassFolders(dir.path(), {"Ginkgo", "LIME", "maple", "Oak", "wIlLoW"});
    EXPECT_EQ(scanDataset(dir.path().string()).classes.size(), 5u);
    makeClassFolders(dir.path(), {"Other"});
    dir.write("Other/birch.jpg", "x");
    dir.write("SOURCES.md", "notes beside the folders are fine");
    dir.write("Oak/b.JPG", "x");
    dir.write("Oak/a.png", "x");
    dir.write("Oak/readme.txt", "not an image");
    dir.write("wIlLoW/c.jpeg", "x");
    const DatasetScan scan = scanDataset(dir.path().string());
    ASSERT_EQ(scan.fault, "");
    ASSERT_EQ(scan.images.size(), 4u);
    EXPECT_EQ(fs::path(scan.images[0].path).filename(), "a.png");
    EXPECT_EQ(scan.images[0].label, 3);
    EXPECT_EQ(fs::path(scan.images[1].path).filename(), "b.JPG");
    EXPECT_EQ(scan.images[2].label, 4);
    EXPECT_EQ(scan.images[3].label, 5);
    EXPECT_EQ(scan.classes.back(), "other");
}

TEST(Dataset, RefusesFoldersThatAreNotExactlyTheFiveSpecies) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"ginkgo", "lime", "maple", "oak", "willow", "birch"}, "'birch' that is not a species"},
        {{"ginkgo", "lime", "maple", "oak"}, "no sub-folder for willow"},
        {{"ginkgo", "lime", "maple", "oak", "willow", "Oak"}, "two folders for oak"},
        {{"ginkgo", "lime", "maple", "oak", "other", "OTHER"}, "two folders for other"},
        {{"ginkgo", "lime", "maple", "oak", "other"}, "no sub-folder for willow"},
    };
    for (const auto& [folders, fault] : cases) {
        TempDir dir;
        makeClassFolders(dir.path(), folders);
        EXPECT_NE(scanDataset(dir.path().string()).fault.find(fault), std::string::npos) << fault;
    }
    TempDir dir;
    EXPECT_NE(scanDataset(dir.write("plain.txt", "x")).fault.find("is not a folder"),
              std::string::npos);
    EXPECT_NE(scanDataset(dir.file("absent")).fault.find("is not a folder"), std::string::npos);
}

TEST(Dataset, MeasuresLikeTheProgramWithoutPrinting) {
    TempDir dir;
    const std::string path = dir.file("leaf.png");
    ASSERT_TRUE(cv::imwrite(path, drawLeaf(90, 30, 0.0)));
    CoutCapture capture;
    const Measurement measured = measurePicture(readGreyPicture(path));
    const LeafAnalysis analysis = analyzeLeafImage(path, false, false);
    const std::string programTalk = capture.text();
    ASSERT_EQ(measured.verdict, LeafVerdict::Measured);
    ASSERT_EQ(measured.features.size(), leafFeatureCount);
    // measurePicture said nothing: all that was captured came from the direct analysis.
    EXPECT_NE(programTalk.find("Processing image"), std::string::npos);
    EXPECT_EQ(programTalk.find("Processing image"), programTalk.rfind("Processing image"));
    // Six significant digits, exactly what the program hands to the network.
    std::string text;
    for (double value : measured.features) {
        std::ostringstream number;
        number << value;
        text += number.str() + " ";
    }
    EXPECT_EQ(text, toFeatureText(analysis.features));
    EXPECT_GT(measured.features[1], 2.5);  // a long leaf: its aspect ratio is about three
}

TEST(Dataset, ReportsWhyAnImageCannotBeUsed) {
    TempDir dir;
    EXPECT_EQ(measurePicture(readGreyPicture(dir.write("broken.jpg", "not a picture"))).verdict,
              LeafVerdict::UnreadableImage);
    const cv::Mat blank(100, 100, CV_8UC1, cv::Scalar(255));
    EXPECT_EQ(measurePicture(blank).verdict, LeafVerdict::NoLeaf);
    EXPECT_EQ(verdictReason(LeafVerdict::NoLeaf), "no leaf found");
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
            ++calls;
            EXPECT_EQ(total, 5);
            EXPECT_EQ(done, calls);
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
    const ConfusionMatrix matrix = {{8, 2, 0}, {1, 4, 0}, {0, 0, 0}};
    EXPECT_EQ(totalCount(matrix), 15);
    EXPECT_DOUBLE_EQ(accuracy(matrix), 12.0 / 15.0);
    EXPECT_DOUBLE_EQ(recall(matrix, 0), 0.8);
    EXPECT_DOUBLE_EQ(precision(matrix, 0), 8.0 / 9.0);
    EXPECT_DOUBLE_EQ(recall(matrix, 2), 0.0);
    std::ostringstream text;
    printConfusionReport(text, matrix, {"a", "b", "c"});
    EXPECT_NE(text.str().find("Accuracy: 80.0% (12 of 15)"), std::string::npos) << text.str();
    // Class b: 4 of its 5 photos named right (recall), 4 of the 6 named b are b (precision).
    EXPECT_NE(text.str().find("b              5     80.0%     66.7%\n"), std::string::npos)
        << text.str();
    EXPECT_NE(text.str().find("a             10     80.0%     88.9%\n"), std::string::npos)
        << text.str();
}

TEST(Report, DrawsRightAnswersGreenAndErrorsRed) {
    TempDir dir;
    // Pixels clearly tinted towards red or green, as the shading of a cell makes them.
    const auto tinted = [&](const ConfusionMatrix& matrix) {
        const std::string path = dir.file("matrix.png");
        EXPECT_EQ(drawConfusionMatrix(matrix, {"round", "long"}, "test", path), "");
        const cv::Mat picture = cv::imread(path);
        EXPECT_FALSE(picture.empty());
        int red = 0;
        int green = 0;
        for (auto pixel = picture.begin<cv::Vec3b>(); pixel != picture.end<cv::Vec3b>(); ++pixel) {
            red += (*pixel)[2] > (*pixel)[1] + 60 ? 1 : 0;
            green += (*pixel)[1] > (*pixel)[2] + 60 ? 1 : 0;
        }
        return std::pair<int, int>{red, green};
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
    std::vector<double> angles;
    std::vector<double> scales;
    for (int k = 1; k <= 4; ++k) {
        double angle = 0.0;
        double scale = 0.0;
        copyTransform(k, 4, 15.0, angle, scale);
        angles.push_back(angle);
        scales.push_back(scale);
    }
    EXPECT_EQ(angles, (std::vector<double>{-7.5, 7.5, -15.0, 15.0}));
    EXPECT_EQ(scales, (std::vector<double>{0.85, 0.7, 1.0, 0.85}));
    double angle = 0.0;
    double scale = 0.0;
    copyTransform(1, 1, 20.0, angle, scale);
    EXPECT_EQ(angle, -20.0);
    copyTransform(3, 3, 20.0, angle, scale);
    EXPECT_EQ(angle, -20.0);
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
        {"path,group\noak/a.jpg\n", "line 2: expected 'path,group', not 'oak/a.jpg'"},
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
    EXPECT_NE(readGroups(dir.file("absent.csv"), {}).fault.find("missing or not a regular file"),
              std::string::npos);
    EXPECT_NE(readGroups(dir.path().string(), {}).fault.find("not a regular file"),
              std::string::npos);
}

}  // namespace
