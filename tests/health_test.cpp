// Device sensors: the management library loaded at run time (a stand-in
// built beside this test), and the text the program shows.
#include <gtest/gtest.h>

#include "nvml_health.h"
#include "shell.h"

TEST(DeviceHealth, ReadsThroughTheLibraryItFinds)
{
    WpDeviceHealth health{-1, -1, -1};
    ASSERT_TRUE(nvml_read_health(FAKE_NVML_PATH, "0000:3B:00.0", health));
    EXPECT_EQ(health.temperature_c, 61);
    EXPECT_EQ(health.power_w, 285) << "milliwatts, truncated to watts";
    EXPECT_EQ(health.sm_clock_mhz, 1980) << "the SM clock, not the graphics clock";
    EXPECT_EQ(format_health(readings_of(health)), "61 C, 285 W, 1980 MHz");

    EXPECT_FALSE(nvml_read_health(FAKE_NVML_PATH, "0000:3C:00.0", health)) << "a device it lacks";
}

TEST(DeviceHealth, ZeroIsAReading)
{
    WpDeviceHealth health{-1, -1, -1};
    ASSERT_TRUE(nvml_read_health(FAKE_NVML_PATH, "0000:5E:00.0", health));
    EXPECT_EQ(health.temperature_c, 0);
    EXPECT_EQ(health.power_w, 0) << "0 mW is an idle card, not a missing sensor";
    EXPECT_EQ(health.sm_clock_mhz, 0);
    EXPECT_EQ(format_health(readings_of(health)), "0 C, 0 W, 0 MHz");
}

TEST(DeviceHealth, NoLibraryMeansNoReadings)
{
    WpDeviceHealth health{-1, -1, -1};
    EXPECT_FALSE(nvml_read_health("libnvidia-ml-not-installed.so.1", "0000:3B:00.0", health));
    EXPECT_FALSE(nvml_read_health("/nonexistent/libnvidia-ml.so.1", "0000:3B:00.0", health));
    // The CPU backend has no sensors: the listing and the statistics leave them out.
    EXPECT_EQ(device_health_text(0), "");
}

TEST(DeviceHealth, TextHoldsOnlyTheReadingsThereAre)
{
    struct Case {
        WpDeviceHealth health;
        const char* text;
    };
    const Case cases[] = {
        {{61, 285, 1980}, "61 C, 285 W, 1980 MHz"},
        {{-1, 100, -1}, "100 W"},
        {{0, -1, 345}, "0 C, 345 MHz"},
        {{-1, -1, -1}, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(format_health(readings_of(c.health)), c.text);
}
