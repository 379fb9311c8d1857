// Which rates a device's clock can make within the tolerance: the table of BaudGroup rates
// against the clocks real devices have.
#include "posix/pure/rates.h"

#include <gtest/gtest.h>

using namespace tty::posix::pure;

TEST(LayerClock, RatesEachClockCanMake)
{
    const Clock pc {Clock::Kind::Divisor, 115200};   // the PC's 1.8432 MHz UART
    const Clock fast {Clock::Kind::Divisor, 921600}; // a card with an eight times faster clock
    const Clock ftdi {Clock::Kind::Ftdi, 0};
    const Clock driver {};
    const struct {
        uint32_t rate;
        bool pc, fast, ftdi;
    } table[] = {
        {110, true, true, false}, // FTDI: a divisor above 14 bits
        {300, true, true, true},        {1200, true, true, true},     {9600, true, true, true},
        {14400, true, true, true},      {19200, true, true, true},    {38400, true, true, true},
        {56000, false, false, true}, // 115200/2 and 921600/16 are both 57600, +2.9 %
        {57600, true, true, true},      {115200, true, true, true},
        {128000, false, false, true},   {256000, false, false, true}, // above the UART's top
        {2000000, false, false, true},  {3000000, false, false, true},
        {2500000, false, false, false}, // no FTDI divisor between 1 and 2 but 1.5
    };
    for (const auto &t : table) {
        EXPECT_EQ(clock_makes(pc, t.rate), t.pc) << t.rate;
        EXPECT_EQ(clock_makes(fast, t.rate), t.fast) << t.rate;
        EXPECT_EQ(clock_makes(ftdi, t.rate), t.ftdi) << t.rate;
        EXPECT_TRUE(clock_makes(driver, t.rate)) << t.rate;
    }
    EXPECT_EQ(clock_rate(pc, 56000), 57600u);
    EXPECT_EQ(clock_rate(pc, 110), 110u); // 115200 / 1047 = 110.03
    EXPECT_EQ(clock_rate(ftdi, 56000), 55944u);
    EXPECT_EQ(clock_rate(pc, 0), 0u);
}
