// The client half of the request protocol, reduced to what one test thread needs.
#include "record_client.h"

#include <stdexcept>

namespace frix::test {

RecordClient::RecordClient(const std::string& segment_name)
    : segment_(std::make_unique<RecordSegment>(segment_name)), record_(&segment_->record()) {}

Reply RecordClient::request(const MmapRequest& request, int pid, std::chrono::milliseconds wait) {
    Reply reply;
    MappedData& r = *record_;
    const timespec deadline = record_deadline(static_cast<long>(wait.count()));
    if (const int locked = lock_record(r, deadline); locked != 0 && locked != EOWNERDEAD)
        return reply;
    reply.serving = r.serving;
    if (!r.serving) {
        unlock_record(r);
        return reply;
    }
    r.claim_pid = pid;
    r.error = 0;
    r.fd = request.fd;
    r.flags = request.flags;
    r.length = request.length;
    r.offset = request.offset;
    r.prot = request.prot;
    r.addr = request.addr;
    r.pid = pid;
    r.replied = 0;
    r.posted = 1;
    bump_word(&r.request_seq);
    bool locked = true;
    while (!r.replied) {
        const std::uint32_t seen = __atomic_load_n(&r.reply_seq, __ATOMIC_SEQ_CST);
        unlock_record(r);
        wait_word(&r.reply_seq, seen, deadline);
        const int result = lock_record(r, deadline);
        locked = result == 0 || result == EOWNERDEAD;
        if (!locked) break;
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec > deadline.tv_sec ||
            (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec))
            break;
    }
    reply.answered = r.replied != 0;
    reply.error = r.error;
    reply.index = r.index;
    r.claim_pid = 0;
    r.posted = 0;
    if (locked) unlock_record(r);
    return reply;
}

}  // namespace frix::test
