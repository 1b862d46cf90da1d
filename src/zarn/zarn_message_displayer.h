#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "engine/feed_thread.h"
#include "zarn/zarn_block_sink.h"
#include "zarn/zarn_logger.h"
#include "zarn/zarn_message.h"

// The Zarn protocol part of the feed: the steady traffic of an idle line (POLL numbered 0 and its
// EOT answer) and empty blocks are left out, texts by the Zarn interpreter, a block concerns the
// pump at its address byte, pump logs are Loggers.
struct Zarn_feed_protocol {
    using Block = Message;
    using Log = Logger;
    static std::unique_ptr<Message> CopyToPost(const Message& block, int direction);
    static std::string Text(const Message& block, bool interpreted);
    static bool Concerns(const Message& block, uint8_t address) { return block.bytes[0] == address; }
    static std::unique_ptr<Logger> MakeLog(const std::string& file_name, uint8_t address, bool interpreted)
    {
        return std::make_unique<Logger>(file_name, address, interpreted);
    }
    static void Write(Logger& log, const Message& block) { log.Log(block); }
};

// The communication feed of one Zarn loop (the shared Feed_thread, engine/feed_thread.h), which
// the I/O thread posts to as its Block_sink. A Zarn loop has one log per pump at most, and at most
// 16 pumps: the list itself sets no limit.
class Message_displayer : public Block_sink, public Feed_thread<Zarn_feed_protocol> {
public:
    Message_displayer();  // the thread is not running until Start()
    void Post(const Message& block, int direction) override { Feed_thread::Post(block, direction); }
};
