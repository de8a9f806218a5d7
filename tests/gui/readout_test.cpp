// What a readout puts on screen: which channel lands in which row, with
// which title, and the gauges held within their range. (The arithmetic
// itself is tested on its own with the probe link.)
#include "window_test.h"

#include <gtest/gtest.h>

using namespace gui_test;

class guiReadout : public WindowTest {
protected:
    // Sets the four converter inputs and clicks Refresh.
    void refresh_with(uint16_t ch0, uint16_t ch1, uint16_t ch2, uint16_t ch3) {
        dev().set_input_count(0, ch0);
        dev().set_input_count(1, ch1);
        dev().set_input_count(2, ch2);
        dev().set_input_count(3, ch3);
        const std::size_t mark = log_mark();
        click(frame->Button3);
        EXPECT_EQ(readouts_since(mark), 1u);
    }
};

TEST_F(guiReadout, WorkedValuesInTextAndGauge) {
    open_window();
    refresh_with(897, 100, 315, 898);

    EXPECT_EQ(label(frame->StaticText1), "A1 = 10.00 V");
    EXPECT_EQ(frame->Gauge1->GetValue(), 999);
    EXPECT_EQ(label(frame->StaticText2), "I supply = 103 mA");
    EXPECT_EQ(frame->Gauge2->GetValue(), 102);
    EXPECT_EQ(label(frame->StaticText3), "V target = 3.51 V");
    EXPECT_EQ(frame->Gauge3->GetValue(), 350);
    EXPECT_EQ(label(frame->StaticText4), "A0 = 10.01 V");
    EXPECT_EQ(frame->Gauge4->GetValue(), 1000);
    expect_connected();
}

TEST_F(guiReadout, GaugesAboveTheirRangeShowFull) {
    open_window();
    // 449 and up on V target, 488 and up on I supply, 899 and up on A0/A1.
    refresh_with(899, 488, 449, 1023);
    EXPECT_EQ(label(frame->StaticText1), "A1 = 10.02 V");
    EXPECT_EQ(frame->Gauge1->GetValue(), 1000);
    EXPECT_EQ(label(frame->StaticText2), "I supply = 501 mA");
    EXPECT_EQ(frame->Gauge2->GetValue(), 500);
    EXPECT_EQ(label(frame->StaticText3), "V target = 5.00 V");
    EXPECT_EQ(frame->Gauge3->GetValue(), 500);
    EXPECT_EQ(label(frame->StaticText4), "A0 = 11.40 V");
    EXPECT_EQ(frame->Gauge4->GetValue(), 1000);

    refresh_with(1023, 1023, 1023, 1023);
    EXPECT_EQ(label(frame->StaticText2), "I supply = 1049 mA");
    EXPECT_EQ(frame->Gauge2->GetValue(), 500);
    EXPECT_EQ(label(frame->StaticText3), "V target = 11.40 V");
    EXPECT_EQ(frame->Gauge3->GetValue(), 500);

    // And come down again with the inputs.
    refresh_with(0, 5, 0, 0);
    EXPECT_EQ(label(frame->StaticText1), "A1 = 0.00 V");
    EXPECT_EQ(label(frame->StaticText2), "I supply = 0 mA");
    EXPECT_EQ(label(frame->StaticText3), "V target = 0.00 V");
    EXPECT_EQ(label(frame->StaticText4), "A0 = 0.00 V");
    for (const wxGauge* g : {frame->Gauge1, frame->Gauge2, frame->Gauge3, frame->Gauge4})
        EXPECT_EQ(g->GetValue(), 0);
}

TEST_F(guiReadout, ThirdAndFourthRowsSwapTheirTitlesBetweenResetAndReadout) {
    dev().unplug();
    open_window();
    // After a reset the third row (y 75) is titled A0, the fourth (y 105) A1.
    ASSERT_EQ(frame->StaticText1->GetPosition().y, 75);
    ASSERT_EQ(frame->StaticText4->GetPosition().y, 105);
    EXPECT_EQ(label(frame->StaticText1), "A0 = 0 V");
    EXPECT_EQ(label(frame->StaticText4), "A1 = 0 V");

    dev().plug_in();
    dev().set_input_count(0, 100);
    dev().set_input_count(3, 512);
    click(frame->Button1);
    // A readout titles the third row A1 with channel 0, the fourth A0 with
    // channel 3, each beside its own gauge.
    EXPECT_EQ(label(frame->StaticText1), "A1 = 1.11 V");
    EXPECT_EQ(frame->Gauge1->GetValue(), 111);
    EXPECT_EQ(frame->Gauge1->GetPosition().y, 75);
    EXPECT_EQ(label(frame->StaticText4), "A0 = 5.71 V");
    EXPECT_EQ(frame->Gauge4->GetValue(), 570);
    EXPECT_EQ(frame->Gauge4->GetPosition().y, 105);

    click(frame->Button2);
    EXPECT_EQ(label(frame->StaticText1), "A0 = 0 V");
    EXPECT_EQ(label(frame->StaticText4), "A1 = 0 V");
}

TEST_F(guiReadout, ChannelsAreReadInOrderEachShownBeforeTheNext) {
    open_window();
    // While the converter samples a channel, note what the row of the
    // channel before shows: it must already be that channel's new reading.
    const struct { wxStaticText* text; wxGauge* gauge; } rows[] = {
        {frame->StaticText1, frame->Gauge1}, {frame->StaticText2, frame->Gauge2},
        {frame->StaticText3, frame->Gauge3}, {frame->StaticText4, frame->Gauge4}};
    std::vector<unsigned> sampled;
    std::vector<std::string> shown_before;
    std::vector<int> gauge_before;
    dev().set_input_source([&](unsigned ch, uint64_t) -> uint16_t {
        sampled.push_back(ch);
        if (ch > 0) {
            shown_before.push_back(label(rows[ch - 1].text));
            gauge_before.push_back(rows[ch - 1].gauge->GetValue());
        }
        return 100;
    });
    click(frame->Button3);

    EXPECT_EQ(sampled, (std::vector<unsigned>{0, 1, 2, 3}));
    EXPECT_EQ(shown_before, (std::vector<std::string>{"A1 = 1.11 V", "I supply = 103 mA",
                                                      "V target = 1.11 V"}));
    EXPECT_EQ(gauge_before, (std::vector<int>{111, 102, 111}));
    EXPECT_EQ(label(frame->StaticText4), "A0 = 1.11 V");
}

TEST_F(guiReadout, ChannelsDoneBeforeTheProbeWentAwayKeepTheirReadings) {
    open_window();
    for (unsigned ch = 0; ch < 4; ++ch) dev().set_input_count(ch, 100);
    // The probe goes away after the first two conversions: channels 0 and 1
    // are already on screen, 2 and 3 are not.
    dev().unplug_after_calls(2 * (kWritesPerConversion + kReadsPerConversion));
    click(frame->Button3);

    EXPECT_EQ(label(frame->StaticText1), "A1 = 1.11 V");
    EXPECT_EQ(frame->Gauge1->GetValue(), 111);
    EXPECT_EQ(label(frame->StaticText2), "I supply = 103 mA");
    EXPECT_EQ(frame->Gauge2->GetValue(), 102);
    EXPECT_EQ(label(frame->StaticText3), "V target = --- V");
    EXPECT_EQ(frame->Gauge3->GetValue(), 0);
    EXPECT_EQ(label(frame->StaticText4), "A0 = --- V");
    EXPECT_EQ(frame->Gauge4->GetValue(), 0);
}
