// The C library entry points a manylinux_2_28 build binds to. It builds against a newer glibc whose headers name
// symbols that glibc 2.28 lacks: the linker routes the module's calls to them (`--wrap`, CMakeLists.txt) to the
// functions here, which call the entry points glibc 2.28 exports and later releases keep.
#include <dlfcn.h>
#include <sys/stat.h>

extern "C" {

// dlopen and dlsym moved into libc in glibc 2.34 under a new version; the old one stays, in libdl before 2.34.
void* glibc_dlopen(const char* file, int mode);
void* glibc_dlsym(void* handle, const char* name);
__asm__(".symver glibc_dlopen, dlopen@GLIBC_2.2.5");
__asm__(".symver glibc_dlsym, dlsym@GLIBC_2.2.5");

void* __wrap_dlopen(const char* file, int mode) { return glibc_dlopen(file, mode); }
void* __wrap_dlsym(void* handle, const char* name) { return glibc_dlsym(handle, name); }

// The stat family became functions of their own in glibc 2.33; before, the headers turned each call into one of
// these, which name the layout of `struct stat` they fill (the kernel's, on x86-64).
constexpr int stat_layout = 1;  // _STAT_VER_LINUX
int __xstat64(int layout, const char* path, struct stat64* st);
int __lxstat64(int layout, const char* path, struct stat64* st);
int __fxstat64(int layout, int fd, struct stat64* st);

// On x86-64 `struct stat` is `struct stat64`; a unit that reads files without large-file names calls the short ones.
static_assert(sizeof(struct stat) == sizeof(struct stat64));
int __wrap_stat64(const char* path, struct stat64* st) { return __xstat64(stat_layout, path, st); }
int __wrap_lstat64(const char* path, struct stat64* st) { return __lxstat64(stat_layout, path, st); }
int __wrap_fstat64(int fd, struct stat64* st) { return __fxstat64(stat_layout, fd, st); }
int __wrap_stat(const char* path, struct stat* st) { return __xstat64(stat_layout, path, reinterpret_cast<struct stat64*>(st)); }
int __wrap_lstat(const char* path, struct stat* st) { return __lxstat64(stat_layout, path, reinterpret_cast<struct stat64*>(st)); }
int __wrap_fstat(int fd, struct stat* st) { return __fxstat64(stat_layout, fd, reinterpret_cast<struct stat64*>(st)); }

// The C++ library, linked in, skips atomic operations on reference counts while glibc (2.32 on) says the process
// has a single thread. This definition takes the place of glibc's and always says it may have more.
char __libc_single_threaded = 0;

}  // extern "C"
