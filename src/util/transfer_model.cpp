#include "util/transfer_model.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <deque>
#include <limits>
#include <queue>

#include "util/transfer_rules.h"

namespace {

constexpr double never = std::numeric_limits<double>::infinity();

struct model_owner_s;

// A request given to a disk and not served yet.
struct waiting_s {
    io_request_s request;
    model_owner_s* owner = nullptr;
    std::uint64_t at = 0;     // on the disk
    std::uint64_t length = 0; // what the disk moves: a read past the file's end is cut short
    double arrival = 0;
};

struct due_s {
    double time = 0;
    std::uint64_t order = 0; // ties go in the order served
    io_completion_s completion;
    bool operator>(const due_s& other) const {
        return time != other.time ? time > other.time : order > other.order;
    }
};

// One opened back-end: the completions it has coming.
struct model_owner_s {
    std::shared_ptr<disk_model_s> model;
    std::priority_queue<due_s, std::vector<due_s>, std::greater<due_s>> due;
};

} // namespace

struct disk_model_state_s {
    std::vector<std::deque<waiting_s>> waiting; // by disk, in the order given
    std::uint64_t served = 0;
};

namespace {

double seek_seconds(const disk_model_params_s& params, std::uint64_t from, std::uint64_t to) {
    double distance = from == ~std::uint64_t{0}
                          ? static_cast<double>(to)
                          : std::fabs(static_cast<double>(to) - static_cast<double>(from));
    return params.settle_seconds +
           params.stroke_seconds * std::sqrt(std::min(1.0, distance / params.capacity_bytes)) +
           params.rotation_seconds;
}

// Which waiting request the disk serves next, once it starts at `start`.
std::size_t next_for(const disk_model_s& model, const model_disk_s& disk,
                     const std::deque<waiting_s>& waiting, double start) {
    if (!model.params.reorders) {
        return 0;
    }
    std::size_t above = waiting.size(), lowest = 0;
    for (std::size_t i = 0; i < waiting.size() && waiting[i].arrival <= start; ++i) {
        if (waiting[i].at < waiting[lowest].at) {
            lowest = i;
        }
        bool at_or_after = disk.head == ~std::uint64_t{0} || waiting[i].at >= disk.head;
        if (at_or_after && (above == waiting.size() || waiting[i].at < waiting[above].at)) {
            above = i;
        }
    }
    return above != waiting.size() ? above : lowest;
}

void serve(disk_model_s& model, unsigned index, std::size_t which, double start) {
    disk_model_state_s& queues = *model.queues;
    model_disk_s& disk = model.disks[index];
    waiting_s request = queues.waiting[index][which];
    queues.waiting[index].erase(queues.waiting[index].begin() + static_cast<std::ptrdiff_t>(which));
    const disk_model_params_s& params = model.params;
    bool seek = request.at != disk.head;
    double end = start + (seek ? seek_seconds(params, disk.head, request.at) : 0.0) +
                 static_cast<double>(request.length) / params.rate_bytes_per_second;
    disk.head = request.at + request.length;
    disk.free_at = end;
    disk.busy_seconds += end - start;
    ++disk.requests;
    disk.seeks += seek ? 1 : 0;
    bool reading = request.request.direction == io_direction::read;
    (reading ? disk.bytes_read : disk.bytes_written) += request.length;
    if (params.logs_requests) {
        disk.served.push_back(
            {request.at, request.length, request.request.direction, seek, start, end});
    }
    if (params.keeps_data) {
        std::uint8_t* bytes = request.request.buffer;
        for (std::uint64_t i = 0; i < request.length; ++i) {
            std::uint8_t expected = model_pattern(request.request.offset + i);
            if (reading) {
                bytes[i] = expected;
            } else {
                model.wrong_bytes += bytes[i] != expected ? 1 : 0;
            }
        }
    }
    io_completion_s completion{request.request.tag, 0, request.length};
    if (request.length < request.request.length) {
        completion.error = ENODATA;
    }
    request.owner->due.push({end, queues.served++, completion});
}

// When disk `index` starts its next request, or never when it has none.
double next_start(const disk_model_s& model, unsigned index) {
    const std::deque<waiting_s>& waiting = model.queues->waiting[index];
    return waiting.empty() ? never : std::max(model.disks[index].free_at, waiting.front().arrival);
}

// Serves every request whose service starts before `limit` (or at it, when `inclusive`): what is
// decided by then cannot depend on requests still to come.
void serve_until(disk_model_s& model, double limit, bool inclusive) {
    for (unsigned index = 0; index < model.disks.size(); ++index) {
        for (;;) {
            double start = next_start(model, index);
            if (start == never || start > limit || (!inclusive && start == limit)) {
                break;
            }
            serve(model, index,
                  next_for(model, model.disks[index], model.queues->waiting[index], start), start);
        }
    }
}

double earliest_start(const disk_model_s& model) {
    double earliest = never;
    for (unsigned index = 0; index < model.disks.size(); ++index) {
        earliest = std::min(earliest, next_start(model, index));
    }
    return earliest;
}

model_owner_s& owner_of(transfer_backend_s& backend) {
    return *static_cast<model_owner_s*>(backend.state.get());
}

// Settles at once a request that no disk serves.
void settle_now(model_owner_s& owner, const io_request_s& request, int error) {
    disk_model_s& model = *owner.model;
    owner.due.push({model.now, model.queues->served++, {request.tag, error, 0}});
}

void submit_to_model(model_owner_s& owner, const io_request_s& request) {
    disk_model_s& model = *owner.model;
    std::lock_guard<std::mutex> hold(model.lock);
    serve_until(model, model.now, false);
    auto found = request.file != nullptr ? model.files.find(request.file->path) : model.files.end();
    if (found == model.files.end()) {
        settle_now(owner, request, EBADF);
        return;
    }
    if (beyond_any_file(request.offset, request.length)) {
        settle_now(owner, request, EINVAL);
        return;
    }
    model_placement_s& file = found->second;
    std::uint64_t length = request.length;
    if (request.direction == io_direction::read) {
        length = request.offset < file.bytes ? std::min(length, file.bytes - request.offset) : 0;
    } else {
        file.bytes = std::max(file.bytes, request.offset + request.length);
    }
    if (length == 0) {
        settle_now(owner, request, request.length == 0 ? 0 : ENODATA);
        return;
    }
    model.queues->waiting[file.disk].push_back(
        {request, &owner, file.start + request.offset, length, model.now});
}

bool wait_in_model(model_owner_s& owner, io_completion_s* completion, bool block) {
    disk_model_s& model = *owner.model;
    std::lock_guard<std::mutex> hold(model.lock);
    for (;;) {
        serve_until(model, model.now, true);
        if (!owner.due.empty() && owner.due.top().time <= model.now) {
            *completion = owner.due.top().completion;
            owner.due.pop();
            return true;
        }
        double next =
            std::min(owner.due.empty() ? never : owner.due.top().time, earliest_start(model));
        if (!block || next == never) {
            return false;
        }
        model.now = std::max(model.now, next);
    }
}

// Lets every disk serve all it was given.
void drain(disk_model_s& model, const std::vector<unsigned>& disks) {
    for (;;) {
        serve_until(model, model.now, true);
        double next = never;
        for (unsigned index : disks) {
            double start = next_start(model, index);
            next = std::min(next, start == never && model.disks[index].free_at > model.now
                                      ? model.disks[index].free_at
                                      : start);
        }
        if (next == never) {
            return;
        }
        model.now = std::max(model.now, next);
    }
}

std::vector<unsigned> every_disk(const disk_model_s& model) {
    std::vector<unsigned> all;
    for (unsigned index = 0; index < model.disks.size(); ++index) {
        all.push_back(index);
    }
    return all;
}

} // namespace

std::shared_ptr<disk_model_s> make_disk_model(const disk_model_params_s& params, unsigned disks) {
    auto model = std::make_shared<disk_model_s>();
    model->params = params;
    model->disks.resize(disks);
    model->queues = std::make_shared<disk_model_state_s>();
    model->queues->waiting.resize(disks);
    return model;
}

file_handle_s model_file(disk_model_s& model, const std::string& path, unsigned disk,
                         std::uint64_t start, std::uint64_t bytes, std::uint32_t alignment) {
    std::lock_guard<std::mutex> hold(model.lock);
    model.files[path] = {disk, start, bytes};
    file_handle_s file;
    file.path = path;
    file.alignment = alignment;
    file.memory_alignment = 1;
    file.io_alignment = alignment;
    return file;
}

std::uint8_t model_pattern(std::uint64_t offset) {
    return static_cast<std::uint8_t>((offset * 0x9e3779b1u) >> 13 ^ (offset >> 21));
}

transfer_backend_s model_transfers(std::shared_ptr<disk_model_s> model) {
    transfer_backend_s backend;
    backend.name = "disk model";
    backend.moves_data = model->params.keeps_data;
    backend.ops.open = [model](transfer_backend_s& self, unsigned, std::string*) {
        auto owner = std::make_shared<model_owner_s>();
        owner->model = model;
        self.state = owner;
        return true;
    };
    backend.ops.submit = [](transfer_backend_s& self, const io_request_s& request) {
        submit_to_model(owner_of(self), request);
    };
    backend.ops.wait = [](transfer_backend_s& self, io_completion_s* completion, bool block) {
        return wait_in_model(owner_of(self), completion, block);
    };
    backend.ops.flush = [](transfer_backend_s& self, const file_handle_s& file) {
        disk_model_s& model = *owner_of(self).model;
        std::lock_guard<std::mutex> hold(model.lock);
        auto found = model.files.find(file.path);
        if (found == model.files.end()) {
            return EBADF;
        }
        drain(model, {found->second.disk});
        return 0;
    };
    backend.ops.close = [](transfer_backend_s& self) {
        disk_model_s& model = *owner_of(self).model;
        {
            std::lock_guard<std::mutex> hold(model.lock);
            drain(model, every_disk(model));
        }
        self.state.reset();
    };
    return backend;
}
