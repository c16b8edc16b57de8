// SPDX-License-Identifier: Apache-2.0
// callback_fs: serving a file through user callbacks.
//
// A user-space file system registers its files with a table of read and
// write callbacks instead of a descriptor; libdgfile then calls them for
// every transfer.  Here the "file system" keeps one member file inside an
// image file, after a 4096-byte header, and serves the member by passing
// each transfer on to the image at the member's place, through libdgfile's
// direct path.  The program writes a pattern from GPU memory into the member,
// reads it back into other GPU memory, and checks both the GPU bytes and the
// image file.  Exit status 0 when all match.
//
//   callback_fs [directory for the image file, default "."]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <dgfile.h>
#include <dgrt.h>

namespace {

constexpr off_t kHeader = 4096;         // the image's header block
constexpr size_t kMember = 256 * 1024;  // the member's length

// One served file: where it lives inside the image.  Its address is the
// `handle` that every callback receives.
struct Member {
    DGfileHandle_t image;  // the image, registered as an ordinary file
    off_t base;            // the member's first byte in the image
    size_t length;
    int reads = 0;
    int writes = 0;
};

// The callbacks get the device pointer as given to dgFileRead/dgFileWrite,
// without the device offset: that is why this program passes offset 0.
// Their result is returned to the application unchanged.
ssize_t MemberRead(void* handle, char* devPtr, size_t size, loff_t offset, dgfileRDMAInfo_t*) {
    auto* m = static_cast<Member*>(handle);
    if (offset < 0 || static_cast<size_t>(offset) >= m->length) return 0;  // end of the member
    size = std::min(size, m->length - static_cast<size_t>(offset));
    m->reads += 1;
    return dgFileRead(m->image, devPtr, size, m->base + offset, 0);
}

ssize_t MemberWrite(void* handle, const char* devPtr, size_t size, loff_t offset,
                    dgfileRDMAInfo_t*) {
    auto* m = static_cast<Member*>(handle);
    if (offset < 0 || static_cast<size_t>(offset) + size > m->length) return -1;  // no growing
    m->writes += 1;
    return dgFileWrite(m->image, devPtr, size, m->base + offset, 0);
}

}  // namespace

int main(int argc, char** argv) {
    // The image: a header block and room for the member, all zero.
    std::string path = std::string(argc > 1 ? argv[1] : ".") + "/callback_fs.XXXXXX";
    int scratch = ::mkstemp(path.data());
    if (scratch < 0 || ::ftruncate(scratch, kHeader + static_cast<off_t>(kMember)) != 0) {
        std::perror("image file");
        return 1;
    }
    ::close(scratch);
    int image_fd = ::open(path.c_str(), O_RDWR | O_DIRECT);  // for libdgfile
    int check_fd = ::open(path.c_str(), O_RDONLY);           // for our own check
    ::unlink(path.c_str());
    if (image_fd < 0 || check_fd < 0) {
        std::perror("open image");
        return 1;
    }

    DGfileDescr_t image_descr{};
    image_descr.type = DG_FILE_HANDLE_TYPE_OPAQUE_FD;
    image_descr.handle.fd = image_fd;
    Member member{nullptr, kHeader, kMember};
    if (dgFileHandleRegister(&member.image, &image_descr).err != DG_FILE_SUCCESS) return 1;

    // The member: a descriptor of kind USERSPACE_FS whose handle is our
    // record.  The callback table must outlive the registration.
    static const DGfileFSOps_t ops = {nullptr, nullptr, nullptr, MemberRead, MemberWrite};
    DGfileDescr_t member_descr{};
    member_descr.type = DG_FILE_HANDLE_TYPE_USERSPACE_FS;
    member_descr.handle.handle = &member;
    member_descr.fs_ops = &ops;
    DGfileHandle_t member_fh = nullptr;
    if (dgFileHandleRegister(&member_fh, &member_descr).err != DG_FILE_SUCCESS) return 1;

    std::vector<unsigned char> pattern(kMember);
    for (size_t i = 0; i < kMember; ++i) pattern[i] = static_cast<unsigned char>(i * 31 + 7);
    void* source = nullptr;
    void* target = nullptr;
    if (dgMalloc(&source, kMember) != 0 || dgMalloc(&target, kMember) != 0 ||
        dgMemcpy(source, pattern.data(), kMember, dgMemcpyHostToDevice) != 0) {
        std::fprintf(stderr, "GPU memory set-up failed\n");
        return 1;
    }

    // Through the member's handle, exactly as for an ordinary file.
    ssize_t written = dgFileWrite(member_fh, source, kMember, 0, 0);
    ssize_t read = dgFileRead(member_fh, target, kMember, 0, 0);

    std::vector<unsigned char> gpu_bytes(kMember);
    std::vector<unsigned char> file_bytes(kMember);
    bool gpu_ok = dgMemcpy(gpu_bytes.data(), target, kMember, dgMemcpyDeviceToHost) == 0 &&
                  gpu_bytes == pattern;
    bool file_ok = ::pread(check_fd, file_bytes.data(), kMember, kHeader) ==
                       static_cast<ssize_t>(kMember) &&
                   file_bytes == pattern;
    bool ok = written == static_cast<ssize_t>(kMember) && read == static_cast<ssize_t>(kMember) &&
              member.writes == 1 && member.reads == 1 && gpu_ok && file_ok;
    std::printf("callbacks: %d write(s), %d read(s); wrote %zd, read %zd of %zu bytes\n",
                member.writes, member.reads, written, read, kMember);
    std::printf("GPU bytes %s, image file %s\n", gpu_ok ? "match" : "DIFFER",
                file_ok ? "matches" : "DIFFERS");

    dgFileHandleDeregister(member_fh);
    dgFileHandleDeregister(member.image);
    ::close(image_fd);
    ::close(check_fd);
    dgFree(source);
    dgFree(target);
    return ok ? 0 : 1;
}
