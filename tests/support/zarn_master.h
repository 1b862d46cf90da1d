#pragma once
// The Zarn controller of the GoogleTest tests: the kit's controller, and a POLL that
// acknowledges the DATA reply and fails the test on an answer from another address.
#include <gtest/gtest.h>

#include "support/pty_controller.h"
#include "support/wait.h"
#include "support/zarn_controller.h"

class ZarnMaster : public ZarnController {
public:
    using ZarnController::ZarnController;

    // Polls and acknowledges a DATA reply. Returns its transactions (none for EOT); std::nullopt
    // on silence.
    std::optional<std::vector<ZarnTransaction>> PollAndAck(uint8_t address, int timeout_ms = 3000)
    {
        const std::optional<Bytes> reply = Poll(address, timeout_ms);
        if (!reply)
            return std::nullopt;
        if (reply->size() < 2 || (*reply)[0] != address) {
            ADD_FAILURE() << "unexpected reply to POLL of " << int(address);
            return std::vector<ZarnTransaction>{};
        }
        if (((*reply)[1] & 0xF0) != 0x30)
            return std::vector<ZarnTransaction>{};
        Ack(address, (*reply)[1]);
        return ZarnTransactions(*reply);
    }
};
