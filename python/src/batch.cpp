// SPDX-License-Identifier: Apache-2.0
#include "batch.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <dgfile.hpp>

#include "device.h"
#include "errors.h"
#include "file.h"

namespace dgfile_python {

namespace {

// What a request in flight holds: its cookie, and references that keep its
// file and device memory alive and open until its completion is collected.
struct Slot {
    py::object cookie, file, device;
    File* f = nullptr;
    DeviceBuffer* buffer = nullptr;

    void Clear() {
        if (f != nullptr) --f->batch_uses;
        if (buffer != nullptr) --buffer->batch_uses;
        f = nullptr;
        buffer = nullptr;
        cookie = file = device = py::object();
    }
};

class Batch {
public:
    explicit Batch(py::handle max_requests) {
        unsigned capacity = static_cast<unsigned>(IntArg(max_requests, "max_requests", UINT_MAX));
        if (capacity == 0) throw py::value_error("max_requests must be positive");
        std::error_code ec;
        {
            py::gil_scoped_release nogil;
            batch_ = dgfile::batch<std::size_t>(capacity, ec);
        }
        if (ec) Raise(ec, "dgfile.Batch");
        slots_.resize(capacity);
    }
    ~Batch() {
        {
            py::gil_scoped_release nogil;
            batch_ = dgfile::batch<std::size_t>();  // waits for the requests still running
        }
        for (Slot& s : slots_) s.Clear();
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    void Submit(py::handle requests) {
        Call call(*this, "dgfile.Batch.submit");
        auto items = py::reinterpret_steal<py::object>(
            PySequence_Fast(requests.ptr(), "requests must be an iterable of dgfile.Request"));
        if (!items) throw py::error_already_set();
        std::size_t n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.ptr()));
        if (n > slots_.size())
            throw py::value_error("requests: " + std::to_string(n) + " requests for a batch of " +
                                  std::to_string(slots_.size()) + " slots");
        std::vector<dgfile::request<std::size_t>> round(n);
        std::vector<Slot> held(n);
        for (std::size_t i = 0; i < n; ++i) {
            py::handle r = PySequence_Fast_GET_ITEM(items.ptr(), static_cast<Py_ssize_t>(i));
            std::string name = "requests[" + std::to_string(i) + "]";
            for (const char* field : {"op", "file", "device", "size", "file_offset", "device_offset", "cookie"})
                if (!py::hasattr(r, field))
                    throw py::type_error(name + " must be a dgfile.Request, not " + TypeName(r));
            long long op = IntArg(r.attr("op"), name + ".op", 1);
            py::object file = r.attr("file");
            if (!py::isinstance<File>(file))
                throw py::type_error(name + ".file must be a dgfile.File, not " + TypeName(file));
            File& f = file.cast<File&>();
            f.CheckOpen((name + ".file").c_str());
            long long size = IntArg(r.attr("size"), name + ".size");
            long long fo = IntArg(r.attr("file_offset"), name + ".file_offset", kMaxOffset - size);
            long long dof = IntArg(r.attr("device_offset"), name + ".device_offset", kMaxOffset - size);
            py::object device = r.attr("device");
            Device d = DeviceArg(device, (name + ".device").c_str(), static_cast<std::uint64_t>(dof),
                                 static_cast<std::uint64_t>(size), op == DGFILE_READ);
            round[i] = {static_cast<dgfile::opcode>(op), &f.Native(), d.address,
                        static_cast<std::size_t>(size), static_cast<off_t>(fo),
                        static_cast<off_t>(dof), i};
            held[i] = Slot{r.attr("cookie"), file, device, &f, d.buffer};
        }
        if (batch_.pending() != 0)
            Raise(dgfile::errc::batch_submit_failed, "dgfile.Batch.submit: completions of the "
                  "previous batch are still to be collected (poll, wait)");
        for (std::size_t i = 0; i < n; ++i) {  // the checks above ran user code: still open?
            std::string name = "requests[" + std::to_string(i) + "]";
            held[i].f->CheckOpen((name + ".file").c_str());
            if (held[i].buffer != nullptr) held[i].buffer->CheckOpen((name + ".device (a dgfile.DeviceBuffer)").c_str());
        }
        for (std::size_t i = 0; i < n; ++i) {
            ++held[i].f->batch_uses;
            if (held[i].buffer != nullptr) ++held[i].buffer->batch_uses;
            slots_[i] = std::move(held[i]);
        }
        std::error_code ec;
        {
            py::gil_scoped_release nogil;
            batch_.submit(round, ec);
        }
        if (ec) {
            for (std::size_t i = 0; i < n; ++i) slots_[i].Clear();
            Raise(ec, "dgfile.Batch.submit");
        }
    }

    py::list Poll(py::handle min_arg) {
        Call call(*this, "dgfile.Batch.poll");
        // Above max_requests no batch could ever give as many: a bad argument.
        // Above what is outstanding (a batch smaller than the slots, or some
        // collected already) it means all of them, which the library, bound
        // to the batch submitted, would refuse.
        unsigned min_nr = static_cast<unsigned>(IntArg(min_arg, "min_completions", slots_.size()));
        return Collect(std::min(min_nr, batch_.pending()));
    }
    py::list Wait() {
        Call call(*this, "dgfile.Batch.wait");
        return Collect(batch_.pending());
    }
    void Cancel() {
        Call call(*this, "dgfile.Batch.cancel");
        std::error_code ec;
        batch_.cancel(ec);
        if (ec) Raise(ec, "dgfile.Batch.cancel");
    }
    void Close() {
        if (closed_) return;
        Call call(*this, "dgfile.Batch.close");
        closed_ = true;
        {
            py::gil_scoped_release nogil;
            batch_ = dgfile::batch<std::size_t>();
        }
        for (Slot& s : slots_) s.Clear();
    }
    unsigned Pending() const { return batch_.pending(); }
    std::size_t Capacity() const { return slots_.size(); }
    bool Closed() const { return closed_; }

private:
    // One call at a time, on an open batch (the interpreter lock guards
    // busy_).  A call of a parent's thread under way at a fork never ends in
    // the child: busy_ holds the generation it began in.
    class Call {
    public:
        Call(Batch& b, const char* what) : b_(b) {
            if (b.closed_) throw py::value_error(std::string(what) + ": the batch is closed");
            if (b.busy_ == ForkGeneration())
                throw std::runtime_error(std::string(what) + ": another thread is using this "
                                         "batch; a batch takes calls from one thread at a time");
            b.busy_ = ForkGeneration();
        }
        ~Call() { b_.busy_ = 0; }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        Batch& b_;
    };

    py::list Collect(unsigned min_nr) {
        static py::handle completion = PackageClass("Completion");
        static py::handle io_status = PackageClass("IoStatus");
        std::vector<dgfile::completion<std::size_t>> done(slots_.size());
        std::error_code ec;
        std::size_t n;
        {
            py::gil_scoped_release nogil;
            n = batch_.poll(min_nr, done.data(), done.size(), ec);
        }
        if (ec) Raise(ec, "dgfile.Batch.poll");
        py::list out;
        for (std::size_t i = 0; i < n; ++i) {
            Slot& s = slots_[done[i].cookie];
            out.append(completion(s.cookie, io_status(static_cast<int>(done[i].status)),
                                  static_cast<long long>(done[i].result)));
            s.Clear();
        }
        return out;
    }

    std::vector<Slot> slots_;              // by request index; cleared as collected
    dgfile::batch<std::size_t> batch_;     // destroyed first: waits for its requests
    std::uint32_t busy_ = 0;  // the generation of the call under way, or 0
    bool closed_ = false;
};

}  // namespace

void DefineBatch(py::module_& m) {
    py::class_<Batch>(m, "Batch", R"(A batch of asynchronous requests with max_requests slots.

submit() starts requests (dgfile.Request) and returns at once; poll() and
wait() collect their completions (dgfile.Completion), each carrying its
request's cookie.  A batch takes calls from one thread at a time, and one
batch is in flight at a time: collect every completion before the next
submit.  close(), or leaving a with block, waits for the requests still
running and drops completions not collected.)")
        .def(py::init<py::handle>(), py::arg("max_requests"))
        .def("submit", &Batch::Submit, py::arg("requests"),
             "Starts the requests (at most max_requests) as the new batch and returns without waiting.  "
             "Each request's cookie, file and device stay referenced until its completion is collected.")
        .def("poll", &Batch::Poll, py::arg("min_completions") = 1,
             "Waits for at least min_completions completions (all those outstanding when fewer are; "
             "ValueError above max_requests), or until none is left to collect; returns those ready as a "
             "list of Completion.")
        .def("wait", &Batch::Wait, "Collects every completion not collected yet.")
        .def("cancel", &Batch::Cancel,
             "Marks the batch's requests canceled: one not started moves nothing, one under way runs to "
             "its end.  Their completions are still to be collected, each once its transfer is over, "
             "with the bytes it moved (0 when skipped): after wait(), nothing of the batch writes "
             "device memory.")
        .def_property_readonly("pending", &Batch::Pending, "Completions not collected yet.")
        .def_property_readonly("max_requests", &Batch::Capacity, "The number of request slots.")
        .def_property_readonly("closed", &Batch::Closed, "True once closed.")
        .def("close", &Batch::Close, "Waits for the requests still running and releases the batch.")
        .def("__enter__", [](py::object self) { return self; }, "Returns the batch.")
        .def("__exit__", [](Batch& b, py::args) { b.Close(); }, "Closes the batch.");
}

}  // namespace dgfile_python
