// SPDX-License-Identifier: Apache-2.0
// <dgfile.hpp> alone, every template instantiated, for the build to compile
// under each standard and compiler it claims (cpp_header_check.cmake).
#include <dgfile.hpp>

namespace {
struct ReadOnly {
    ssize_t read(void*, std::size_t size, off_t) { return static_cast<ssize_t>(size); }
};
struct Tag { unsigned short index, part; };
}  // namespace

std::size_t dgfile_header_check(void* device, std::error_code& ec) {
    dgfile::file f = dgfile::file::serve(ReadOnly{});
    dgfile::batch<Tag> b(2);
    dgfile::request<Tag> r[1] = {{dgfile::opcode::write, &f, device, 4096, 0, 0, {1, 2}}};
    b.submit(r, ec);
    dgfile::completion<Tag> out[1];
    b.poll(1, out, 1, ec);
    b.cancel();
    return b.wait().size() + dgfile::load(f, device, f.write_exact(device, 1, 0, 0)) +
           std::error_code(dgfile::errc::end_of_file).message().size();
}
