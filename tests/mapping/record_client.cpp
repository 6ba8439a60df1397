// The client half of the request protocol, reduced to what one test thread needs.
#include "record_client.h"

#include <stdexcept>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>

namespace ipc = boost::interprocess;

namespace frix::test {

RecordClient::RecordClient(const std::string& segment_name)
    : segment_(std::make_unique<ipc::managed_shared_memory>(ipc::open_only,
                                                             segment_name.c_str())) {
    record_ = segment_->find<MappedData>(mapped_data_object_name).first;
    if (!record_) throw std::runtime_error("no record in " + segment_name);
}

Reply RecordClient::request(const MmapRequest& request, int pid, std::chrono::milliseconds wait) {
    Reply reply;
    MappedData& r = *record_;
    ipc::scoped_lock<ipc::interprocess_mutex> lock(r.mutex);
    reply.serving = r.serving;
    if (!r.serving) return reply;
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
    r.request_condition.notify_all();
    const auto deadline = boost::posix_time::microsec_clock::universal_time() +
                          boost::posix_time::milliseconds(wait.count());
    reply.answered = r.reply_condition.timed_wait(lock, deadline, [&] { return r.replied != 0; });
    reply.error = r.error;
    reply.index = r.index;
    r.claim_pid = 0;
    r.posted = 0;
    return reply;
}

}  // namespace frix::test
