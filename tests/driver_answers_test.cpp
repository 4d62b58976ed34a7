// Answers a driver writes back that the library must not trust: regressions from the
// driver-answer fuzz target (tests/fuzz/).
#include <cstring>

#include "support/machine.h"

namespace talven_test {
namespace {

class DriverAnswerTest : public MachineTest {
 protected:
  void TearDown() override {
    win32sim::set_injection_hook(nullptr);
    MachineTest::TearDown();
  }
};

void put(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// The status record's answer is copied back over the record the wait sends again. A driver
// that wrote another Oid and a larger Length into its first answer used to decide the next
// poll's OID and transfer size: 303 + Length bytes read from and written into a block of 320.
TEST_F(DriverAnswerTest, AStatusAnswerThatRewritesOidAndLengthDoesNotShapeTheNextPoll) {
  open();
  for (uint32_t length : {200u, 0xFFFFFF00u}) {
    sim_->clear_requests();
    bool first = true;
    win32sim::set_injection_hook([&first, length](const win32sim::ApiCall& c) {
      win32sim::Injection out;
      const auto* in = static_cast<const uint8_t*>(c.in);
      const bool poll = c.api == win32sim::Api::DeviceIoControl && c.code == 0x80000004u &&
                        c.in_size >= 4 && in[0] == 0x80 && in[1] == 0x52 && in[2] == 0x4E &&
                        in[3] == 0xFF;
      if (poll && first) {
        first = false;
        out.edit_answer = [length](uint8_t* answer, uint32_t) {
          put(answer, 0xFF4D1008u);  // another OID
          put(answer + 4, length);   // a Length past the status block
          put(answer + 8, 0);        // still busy
        };
      }
      return out;
    });
    EXPECT_EQ(1u, SetChannelDirectCall(adapter_, 6));
    win32sim::set_injection_hook(nullptr);

    const std::vector<Request> sent = oid_requests();
    ASSERT_EQ(3u, sent.size()) << "the set and two polls";
    for (size_t i = 1; i < sent.size(); ++i) {
      EXPECT_EQ(0xFF4E5280u, sent[i].oid()) << "poll " << i;
      EXPECT_EQ(16u, sent[i].length()) << "poll " << i;
      EXPECT_EQ(319u, sent[i].in_size) << "poll " << i;
      EXPECT_EQ(319u, sent[i].out_size) << "poll " << i;
    }
  }
  EXPECT_EQ(0u, win32sim::misuse().total());
}

}  // namespace
}  // namespace talven_test
