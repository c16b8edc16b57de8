// SPDX-License-Identifier: Apache-2.0
// The C++ interface's own logic (include/dgfile.hpp), each case in a
// sandboxed child on the simulated platform: error mapping, ownership and
// moves, the exact loops at the end of a file, the batch rules, the callback
// adaptor and the loader.  The C calls underneath are batch_test's and
// files_test's to check.
#include <algorithm>
#include <chrono>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dgfile.hpp"
#include "sandbox.h"
#include "support/transfer.h"

namespace {

using namespace support;

// A path that opens the scratch file anew (scratch files have no name).
std::string PathOf(const ScratchFile& file) {
    return "/proc/self/fd/" + std::to_string(file.fd());
}
using dgfile::errc;

void Sandboxed(const std::function<void()>& body) {
    auto result = sandbox::Run({}, [&] { qrvd_sim_set_enabled(1); body(); });
    EXPECT_SANDBOX_OK(result);
}

// Waits until the simulated driver has received `n` requests in all.
void AwaitRequests(std::uint64_t n) {
    qrvd_sim_counters c{};
    for (int i = 0; i < 5000 && (qrvd_sim_get_counters(&c), c.requests < n); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// A file of `size` bytes of PatternByte() served by callbacks: each call moves at
// most `step` bytes, and from `fail_at` on it fails (-1, or by throwing).
struct Served {
    std::size_t size = 0, step = 1 << 30;
    off_t fail_at = 1 << 30; bool throws = false;
    std::shared_ptr<int> life = std::make_shared<int>();  // shared by the copies
    ssize_t Count(std::size_t n, off_t offset) const {
        if (offset >= fail_at) return throws ? throw std::runtime_error("served") : -1;
        return static_cast<ssize_t>(std::min({n, step, size - std::min<std::size_t>(size, offset)}));
    }
    ssize_t read(void* device, std::size_t n, off_t offset) {
        const ssize_t count = Count(n, offset);
        std::vector<unsigned char> bytes(static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = PatternByte(offset + i);
        return bytes.empty() || dgMemcpy(device, bytes.data(), bytes.size(), dgMemcpyHostToDevice) == 0 ? count : -1;
    }
    ssize_t write(const void*, std::size_t n, off_t offset) { return Count(n, offset); }
};

// The code of the dgfile::error that `call` throws; none when it throws none.
template <class Call>
std::error_code Thrown(const Call& call) {
    try { call(); } catch (const dgfile::error& e) { return e.code(); }
    return {};
}

TEST(CppErrors, EveryCodeHasWordsOfItsOwnInTheDgfileCategory) {
    std::error_code ec = errc::dio_not_set;
    EXPECT_STREQ(ec.category().name(), "dgfile");
    EXPECT_EQ(ec.value(), DG_FILE_DIO_NOT_SET);
    std::set<std::string> words;
    for (int code = DG_FILE_DRIVER_NOT_INITIALIZED; code <= DG_FILE_IO_MAX_ERROR; ++code) {
        if (code == 5021 || code == 5032) continue;  // unnamed in dgfile.h
        words.insert(dgfile::category().message(code));
        EXPECT_EQ(words.count("unknown dgfile status " + std::to_string(code)), 0u);
    }
    words.insert(std::error_code(errc::transfer_failed).message());
    words.insert(std::error_code(errc::end_of_file).message());
    words.insert(std::error_code(errc::stopped).message());
    EXPECT_EQ(words.size(), 38u);  // none says what another says
    // errc_names lists exactly the codes with words (the message switch has
    // a case for every enumerator, or the build fails).
    std::set<int> named;
    for (const dgfile::errc_name& e : dgfile::errc_names) named.insert(static_cast<int>(e.code));
    for (int code = -1; code < 7000; ++code)
        EXPECT_EQ(named.count(code), dgfile::category().message(code).rfind("unknown ", 0) == 0 ? 0u : 1u)
            << code;
}

TEST(CppFile, FailuresComeAsTheStatusOrAnExceptionCarryingIt) {
    Sandboxed([] {
        ScratchFile tmp(8192);
        const int plain = tmp.Open(O_RDONLY);
        std::error_code ec;
        dgfile::file f = dgfile::file::wrap(plain, ec);
        EXPECT_EQ(ec, errc::dio_not_set);
        EXPECT_FALSE(f);
        EXPECT_EQ(Thrown([&] { dgfile::file::wrap(plain); }), errc::dio_not_set);
        f = dgfile::file::open(ScratchDir().File("absent"), O_RDONLY, ec);
        EXPECT_EQ(ec, std::errc::no_such_file_or_directory);
        DeviceBuffer dev(4096);
        EXPECT_EQ(f.read(dev.ptr, 4096, 0, 0, ec), 0u);  // empty: the library sees no handle
        EXPECT_EQ(ec, errc::transfer_failed);
        EXPECT_EQ(Thrown([&] { f.write(dev.ptr, 4096, 0, 0); }), errc::transfer_failed);
        EXPECT_EQ(Thrown([&] { f.size(); }), errc::invalid_value);
    });
}

TEST(CppFile, OwnsWhatItOpenedOrServesAndNothingElse) {
    Sandboxed([] {
        ScratchFile tmp(8192);
        DeviceBuffer dev(8192);
        dgfile::file opened = dgfile::file::open(PathOf(tmp), O_RDONLY);
        const int fd = opened.fd();
        EXPECT_EQ(::fcntl(fd, F_GETFD), FD_CLOEXEC);
        dgfile::file moved(std::move(opened));
        EXPECT_TRUE(!opened && opened.fd() == -1);
        EXPECT_EQ(moved.read(dev.ptr, 8192, 0, 0), 8192u);
        EXPECT_EQ(moved.size(), 8192u);
        moved = dgfile::file::wrap(tmp.Open(O_RDONLY | O_DIRECT));
        EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // closed with its registration
        const int kept = moved.fd();
        moved = dgfile::file();
        EXPECT_EQ(::fcntl(kept, F_GETFD), 0);  // wrapped: still open, the caller's
        Served served;
        served.size = 4096;
        std::weak_ptr<int> life = served.life;
        {
            dgfile::file a = dgfile::file::serve(std::move(served));
            dgfile::file b = std::move(a);
            EXPECT_EQ(life.use_count(), 1);  // one object, held by b
            EXPECT_EQ(b.read(dev.ptr, 8192, 0, 0), 4096u);
        }
        EXPECT_TRUE(life.expired());
    });
}

// The header says what driver_close() leaves: a transfer never reopens the
// connection, a registration does.
TEST(CppFile, AfterDriverCloseFilesTakeTheCpuCopyUntilARegistrationReopens) {
    Sandboxed([] {
        ScratchFile tmp(8192);
        DeviceBuffer dev(8192);
        dgfile::file f = dgfile::file::open(PathOf(tmp), O_RDONLY);
        dgfile::driver_close();
        qrvd_sim_reset_counters();
        EXPECT_EQ(f.read(dev.ptr, 4096, 0, 0), 4096u);
        qrvd_sim_counters c{};
        qrvd_sim_get_counters(&c);
        EXPECT_EQ(c.opens + c.requests, 0u);
        dgfile::file g = dgfile::file::open(PathOf(tmp), O_RDONLY);
        EXPECT_EQ(f.read(dev.ptr, 4096, 4096, 4096), 4096u);
        qrvd_sim_get_counters(&c);
        EXPECT_EQ(c.opens, 1u);
        EXPECT_EQ(c.reads, 1u);
        EXPECT_TRUE(support::MatchesPattern(dev.View(), 8192, 0));
    });
}

TEST(CppFile, ExactLoopsPlaceEveryPieceAndStopAtTheEnd) {
    Sandboxed([] {
        DeviceBuffer dev(32768);
        Served s;
        s.size = 16384, s.step = 4096;
        dgfile::file f = dgfile::file::serve(s);
        EXPECT_EQ(f.read(dev.ptr, 16384, 0, 0), 4096u);
        EXPECT_EQ(f.read_exact(dev.ptr, 12288, 4096, 0), 12288u);
        EXPECT_TRUE(MatchesPattern(dev.View(), 12288, 4096));
        std::error_code ec;
        EXPECT_EQ(f.read_exact(dev.ptr, 32768, 0, 0, ec), 16384u);
        EXPECT_EQ(ec, errc::end_of_file);
        EXPECT_TRUE(MatchesPattern(dev.View(), 16384, 0));
        EXPECT_EQ(f.write_exact(dev.ptr, 20000, 0, 0, ec), 16384u);
        EXPECT_EQ(ec, errc::end_of_file);
        s.fail_at = 8192;
        EXPECT_EQ(dgfile::file::serve(s).read_exact(dev.ptr, 16384, 0, 0, ec), 8192u);
        EXPECT_EQ(ec, errc::transfer_failed);
        s.throws = true;  // an exception must not cross the library: it fails the transfer
        EXPECT_EQ(dgfile::file::serve(s).write_exact(dev.ptr, 16384, 0, 0, ec), 8192u);
        EXPECT_EQ(ec, errc::transfer_failed);
        ScratchFile tmp(12288);  // an ordinary file ends where it ends
        dgMemset(dev.ptr, 0, dev.size);
        dgfile::file real = dgfile::file::open(PathOf(tmp), O_RDONLY);
        EXPECT_EQ(real.read_exact(dev.ptr, 16384, 0, 0, ec), 12288u);
        EXPECT_EQ(ec, errc::end_of_file);
        EXPECT_TRUE(MatchesPattern(dev.View(), 12288, 0));
    });
}

TEST(CppBatch, TypedCookiesComeBackEachOnce) {
    Sandboxed([] {
        ScratchFile tmp(65536);
        DeviceBuffer dev(65536);
        dgfile::file f = dgfile::file::open(PathOf(tmp), O_RDONLY);
        struct Tag { std::uint16_t index, twice; };
        dgfile::batch<Tag> b(4);
        std::vector<dgfile::request<Tag>> requests;
        for (std::uint16_t i = 0; i < 4; ++i)
            requests.push_back({dgfile::opcode::read, &f, dev.ptr, 16384, 16384 * i,
                                16384 * (3 - i), {i, static_cast<std::uint16_t>(2 * i)}});
        b.submit(requests);
        dgfile::completion<Tag> first[2];
        const std::size_t n = b.poll(1, first, 2);
        EXPECT_TRUE(n == 1 || n == 2) << n;
        std::vector<dgfile::completion<Tag>> all = b.wait();
        EXPECT_EQ(b.pending(), 0u);
        all.insert(all.end(), first, first + n);
        std::set<int> seen;
        for (const auto& c : all) {
            EXPECT_EQ(c.cookie.twice, 2 * c.cookie.index);
            EXPECT_TRUE(c.status == dgfile::io_status::complete && c.result == 16384);
            seen.insert(c.cookie.index);
        }
        EXPECT_EQ(seen.size(), 4u);
        for (std::size_t i = 0; i < 4; ++i)
            EXPECT_TRUE(MatchesPattern(dev.View() + 16384 * (3 - i), 16384, 16384 * i)) << i;
    });
}

TEST(CppBatch, RefusesWhatTheLibraryWouldDropOrMisplace) {
    Sandboxed([] {
        ScratchFile tmp(65536);
        DeviceBuffer dev(65536);
        dgfile::file f = dgfile::file::open(PathOf(tmp), O_RDONLY);
        dgfile::batch<int> b(2);
        const dgfile::request<int> r{dgfile::opcode::read, &f, dev.ptr, 4096, 0, 0, 7};
        const dgfile::request<int> orphan{dgfile::opcode::read, nullptr, dev.ptr, 4096, 0, 0, 8};
        std::error_code ec;
        b.submit(std::vector{r, r, r}, ec);
        EXPECT_EQ(ec, errc::batch_submit_failed);
        b.submit(std::vector{r, orphan}, ec);
        EXPECT_EQ(ec, errc::invalid_value);
        b.submit(std::vector{r, r});
        AwaitRequests(2);  // then finished, with their completions not collected:
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        b.submit(std::vector{r}, ec);  // the library would drop them
        EXPECT_EQ(ec, errc::batch_submit_failed);
        EXPECT_EQ(b.wait().size(), 2u);
        // Cancelled while its transfer is under way: the next submit waits
        // for that transfer, which the library alone refuses to do.
        qrvd_sim_set_fault(QRVD_SIM_FAULT_DELAY, 300000, 1);
        b.submit(std::vector{r});
        AwaitRequests(3);
        b.cancel();
        EXPECT_EQ(b.wait().at(0).status, dgfile::io_status::canceled);
        qrvd_sim_clear_fault();
        b.submit(std::vector{r});
        EXPECT_EQ(b.wait().at(0).result, 4096);

        dgfile::batch<int> moved = std::move(b);
        b.submit(std::vector{r}, ec);
        EXPECT_TRUE(ec);
    });
}

// Lanes more than chunks, chunks more than lanes, odd sizes and offsets
// (which the CPU copy takes), a range past the end of the file, one lane.
TEST(CppLoad, EveryByteLandsInPlaceWhateverTheLanesAndChunks) {
    Sandboxed([] {
        const std::size_t size = 3 * 65536 + 12345;
        ScratchFile tmp(size);
        DeviceBuffer dev(4 * 65536);
        dgfile::file f = dgfile::file::open(PathOf(tmp), O_RDONLY);
        const struct { std::size_t chunk; unsigned lanes; off_t offset; std::size_t asked, got; } cases[] = {
            {8192, 1, 8192, 65536, 65536}, {1 << 20, 4, 0, 65536, 65536}, {65536, 2, 0, size, size},
            {12288, 5, 0, 4 * 65536, size}, {4096, 3, 4097, 150001, 150001}, {65536, 8, 4096, 100000, 100000}};
        for (const auto& c : cases) {
            dgMemset(dev.ptr, 0xee, dev.size);
            EXPECT_EQ(dgfile::load(f, dev.ptr, c.asked, c.offset, {c.chunk, c.lanes}), c.got) << c.chunk;
            EXPECT_TRUE(MatchesPattern(dev.View(), c.got, static_cast<std::uint64_t>(c.offset))) << c.chunk;
        }
        qrvd_ioctl_file_inout_vram_args last{};
        EXPECT_EQ(qrvd_sim_last_request(&last), 0);
        EXPECT_NE(static_cast<int>(last.fd), f.fd());  // a lane's own descriptor, closed since
        EXPECT_EQ(::fcntl(static_cast<int>(last.fd), F_GETFD), -1);
        std::error_code ec;
        dgfile::load(f, dev.ptr, 4096, 0, {0, 1}, ec);
        EXPECT_EQ(ec, errc::invalid_value);
    });
}

// A short transfer is repeated from where it stopped; a failed one ends the
// range there, and the lanes stop.
TEST(CppLoad, AFailureMidwayGivesTheWholePrefixAndWhereItStopped) {
    Sandboxed([] {
        const std::size_t size = 1 << 20, chunk = 16384;
        ScratchFile tmp(size);
        DeviceBuffer dev(size);
        dgfile::file f = dgfile::file::open(PathOf(tmp), O_RDONLY);
        qrvd_sim_set_fault(QRVD_SIM_FAULT_SHORT, 1000, 3);
        EXPECT_EQ(dgfile::load(f, dev.ptr, size, 0, {chunk, 4}), size);
        EXPECT_TRUE(MatchesPattern(dev.View(), size, 0));
        ::setenv("DGFILE_DISABLE_CPU", "YES", 1);  // read as the lanes register
        qrvd_sim_set_fault(QRVD_SIM_FAULT_REFUSE, EIO, 7);
        qrvd_sim_reset_counters();
        dgMemset(dev.ptr, 0xee, size);
        std::error_code ec;
        const std::size_t n = dgfile::load(f, dev.ptr, size, 0, {chunk, 4}, ec);
        EXPECT_EQ(ec, errc::transfer_failed);
        EXPECT_TRUE(n < size && n % chunk == 0) << n;
        EXPECT_TRUE(MatchesPattern(dev.View(), n, 0));
        EXPECT_TRUE(AllEqual(dev.View() + n, chunk, 0xee));  // the refused chunk moved nothing
        qrvd_sim_counters c{};
        qrvd_sim_get_counters(&c);
        EXPECT_LT(c.requests, 20u);  // of 64: the lanes stopped soon after
        Served s;  // lanes share a served file; its pieces land through the pointer alone
        s.size = 65536, s.fail_at = 40960, s.step = 3000;
        dgMemset(dev.ptr, 0, dev.size);
        try {
            dgfile::load(dgfile::file::serve(s), dev.ptr, 65536, 0, {8192, 3});
            ADD_FAILURE() << "no exception";
        } catch (const dgfile::transfer_error& e) {
            EXPECT_EQ(e.code(), errc::transfer_failed);
            EXPECT_EQ(e.moved(), 40960u);
        }
        EXPECT_TRUE(MatchesPattern(dev.View(), 40960, 0));
    });
}

TEST(CppLoad, TheProgressHookSeesTheLanesAndCanStopThem) {
    Sandboxed([] {
        const std::size_t size = 64 * 4096;
        ScratchFile tmp(size);
        DeviceBuffer dev(size);
        dgfile::file f = dgfile::file::open(PathOf(tmp), O_RDONLY);
        qrvd_sim_set_fault(QRVD_SIM_FAULT_DELAY, 20000, 1);
        std::vector<std::uint64_t> seen;
        dgfile::load_options o{4096, 2};
        o.progress_interval = std::chrono::milliseconds(10);
        o.progress = [&](std::uint64_t done, std::uint64_t total) {
            EXPECT_EQ(total, size);
            seen.push_back(done);
            return done < 4 * 4096;
        };
        std::error_code ec;
        const std::size_t n = dgfile::load(f, dev.ptr, size, 0, o, ec);
        EXPECT_EQ(ec, errc::stopped);
        EXPECT_TRUE(n >= 4 * 4096 && n < size / 2) << n;
        EXPECT_TRUE(MatchesPattern(dev.View(), n, 0));
        EXPECT_TRUE(seen.size() >= 2 && std::is_sorted(seen.begin(), seen.end()));
        qrvd_sim_counters before{}, after{};
        qrvd_sim_get_counters(&before);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        qrvd_sim_get_counters(&after);
        EXPECT_EQ(after.requests, before.requests);  // nothing left running
        o.progress = [](std::uint64_t, std::uint64_t) -> bool { throw std::runtime_error("hook"); };
        EXPECT_THROW(dgfile::load(f, dev.ptr, size, 0, o, ec), std::runtime_error);
    });
}

TEST(CppStore, WritesEveryByteAndReportsAShortOrFailedWrite) {
    Sandboxed([] {
        const std::size_t size = 5 * 65536 + 4096;
        ScratchFile tmp(size, 1);
        DeviceBuffer dev(size);
        SetDeviceBytes(dev.ptr, PatternBytes(0, size));
        dgfile::file f = dgfile::file::open(PathOf(tmp), O_RDWR);
        EXPECT_EQ(dgfile::store(f, dev.ptr, size - 4096, 4096, {65536, 3}), size - 4096);
        Bytes expected = PatternBytes(0, 4096, 1), rest = PatternBytes(0, size - 4096);
        expected.insert(expected.end(), rest.begin(), rest.end());
        EXPECT_EQ(tmp.Contents(), expected);
        Served s;
        s.size = 16384, s.step = 3000;
        std::error_code ec;
        EXPECT_EQ(dgfile::store(dgfile::file::serve(s), dev.ptr, 20000, 0, {4096, 3}, ec), 16384u);
        EXPECT_EQ(ec, errc::end_of_file);
        s.fail_at = 8192;
        EXPECT_EQ(dgfile::store(dgfile::file::serve(s), dev.ptr, 16384, 0, {4096, 2}, ec), 8192u);
        EXPECT_EQ(ec, errc::transfer_failed);
    });
}

}  // namespace
