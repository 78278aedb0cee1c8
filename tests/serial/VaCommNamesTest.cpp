// Error messages and device names.
#include <gtest/gtest.h>

#include "SerialTestSupport.h"
#include "serial/VaComm.h"

namespace {

TEST(VaCommMessages, CodeAndTrimmedSystemTextFillTheTemplate) {
  EXPECT_EQ(CommErrorMessage("Error writing dcb (%d), %s", 22),
            WithSystemText("Error writing dcb (22), ", 22));
  EXPECT_EQ(CommErrorMessage("Can't open specified device COM3 (Error %d, %s)", 16),
            "Can't open specified device COM3 (Error 16, " + SystemText(16) + ")");
  EXPECT_EQ(CommErrorMessage("Output buffer is full. Please check comm status.", 5),
            "Output buffer is full. Please check comm status.");
  // A path with conversions of its own reaches the message as written.
  EXPECT_EQ(CommErrorMessage("Specified device not found (/dev/%%s%%n).", 2),
            "Specified device not found (/dev/%s%n).");
  EXPECT_EQ(CommErrorMessage("%s before %d", 2), "%s before 2");
}

TEST(VaCommMessages, DeviceNameTakesThePortNumberOnly) {
  EXPECT_EQ(FormatDeviceName("COM%d", 12), "COM12");
  EXPECT_EQ(FormatDeviceName("/dev/ttyUSB0", 3), "/dev/ttyUSB0");
  EXPECT_EQ(FormatDeviceName("/dev/%s%n%d%d", 4), "/dev/%s%n4%d");
  EXPECT_EQ(FormatDeviceName("100%%-%d%", 1), "100%-1%");
}

TEST(VaCommMessages, EnumerationsMapOntoTheBlockAndTheMask) {
  EXPECT_EQ(BaudrateValue(brUser), 0u);
  EXPECT_EQ(BaudrateValue(br110), 110u);
  EXPECT_EQ(BaudrateValue(br56000), 56000u);
  EXPECT_EQ(BaudrateValue(br256000), 256000u);
  EXPECT_EQ(CommEventsMask({ceBreak, ceCts, ceDsr, ceError, ceRing, ceRlsd, ceRxChar, ceTxEmpty,
                            ceRxFlag, cePErr, ceRx80Full, ceEvent1, ceEvent2}),
            0x1FFFu);
  EXPECT_EQ(CommEventsMask({ceRing}), EV_RING);
  EXPECT_EQ(TVaCommEvents({ceError, ceRxChar, ceTxEmpty}).Value(), 200);
}

}  // namespace
