#include "app/dialog_template.h"

#include <gtest/gtest.h>

#include <set>

namespace klv::app {
namespace {

TEST(DialogUnits, BaseUnitsAreTheRoundedAverageLetterWidthAndTheLineHeight) {
    // 52 letters 312 pixels wide average 6 pixels; 338 pixels average exactly 6.5,
    // which rounds up to 7.
    EXPECT_EQ(BaseUnitsOf(312, 13).x, 6);
    EXPECT_EQ(BaseUnitsOf(312, 13).y, 13);
    EXPECT_EQ(BaseUnitsOf(338, 16).x, 7);
    EXPECT_EQ(BaseUnitsOf(337, 16).x, 6);
}

TEST(DialogUnits, ConvertEachCoordinateRoundingToTheNearestPixel) {
    const BaseUnits classic{6, 13};  // an 8-point dialog font at 96 dots per inch
    EXPECT_EQ(ToPixels({0, 0, 466, 199}, classic), (PixelRect{0, 0, 699, 323}));
    // 12 * 13 / 8 = 19.5 and 11 * 13 / 8 = 17.875 both round up.
    EXPECT_EQ(ToPixels({64, 12, 154, 11}, classic), (PixelRect{96, 20, 231, 18}));
    EXPECT_EQ(ToPixels({1, 1, 2, 3}, BaseUnits{7, 15}), (PixelRect{2, 2, 4, 6}));
    EXPECT_EQ(MulDiv(5, 3, 4), 4);
    EXPECT_EQ(MulDiv(1, 1, 4), 0);
}

TEST(MainTemplate, HoldsTwentyEightControlsInTabOrder) {
    ASSERT_EQ(kMainDialog.controls.size(), 28u);
    EXPECT_EQ(kMainDialog.caption, "Kolvane Installer 1.0");
    EXPECT_EQ(kMainDialog.width, 466);
    EXPECT_EQ(kMainDialog.height, 199);

    const std::vector<int> tabStops{1000, 1001, 1002, 1006, 1007, 1014, 1015, 1003,
                                    1016, 1017, 1010, 1011, 1005, 1004, 1009};
    std::vector<int> seen;
    for (const ControlTemplate& control : kMainDialog.controls) {
        if (control.kind == ControlKind::Edit || control.kind == ControlKind::Button) {
            seen.push_back(control.id);
        }
    }
    EXPECT_EQ(seen, tabStops);
}

TEST(MainTemplate, NoControlLeavesTheDialogAndNoButtonIsTheDefault) {
    for (const ControlTemplate& control : kMainDialog.controls) {
        EXPECT_LE(control.rect.x + control.rect.width, kMainDialog.width) << control.text;
        EXPECT_LE(control.rect.y + control.rect.height, kMainDialog.height) << control.text;
        EXPECT_NE(control.kind, ControlKind::DefaultButton);
    }
}

TEST(AboutTemplate, ShowsTheVersionAndADefaultOkButton) {
    EXPECT_EQ(kAboutDialog.caption, "About KLV");
    EXPECT_EQ(kAboutDialog.width, 235);
    EXPECT_EQ(kAboutDialog.height, 55);
    ASSERT_EQ(kAboutDialog.controls.size(), 3u);
    EXPECT_EQ(kAboutDialog.controls[1].text, "KLV Version 1.0");
    EXPECT_EQ(kAboutDialog.controls[2].kind, ControlKind::DefaultButton);
    EXPECT_EQ(kAboutDialog.controls[2].id, kOkId);
}

}  // namespace
}  // namespace klv::app
