#include "vector_math/libm_gate.hpp"

// The build-id is read from the loaded ELF object; elsewhere (Windows) there is none and the
// gate takes the scalar calls.
#if defined(__linux__)
#include <elf.h>
#include <link.h>
#define VS30AMP_ELF_BUILD_ID 1
#endif

#include <cmath>
#include <cstdint>
#include <cstring>

#include "generated/verified_libm_builds.hpp"

#if defined(VS30AMP_ELF_BUILD_ID)
namespace {

struct Search {
    std::uintptr_t address;  // of exp
    BuildId *id;
};

// Copies the GNU build-id note of `info`, if it has one, into id.
void read_build_id(const dl_phdr_info *info, BuildId &id) {
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_NOTE) continue;
        auto *note = reinterpret_cast<const unsigned char *>(info->dlpi_addr + segment.p_vaddr);
        const unsigned char *end = note + segment.p_memsz;
        while (note + sizeof(ElfW(Nhdr)) <= end) {
            ElfW(Nhdr) header;
            std::memcpy(&header, note, sizeof header);
            const unsigned char *name = note + sizeof header;
            const unsigned char *desc = name + ((header.n_namesz + 3) & ~3u);
            const unsigned char *next = desc + ((header.n_descsz + 3) & ~3u);
            if (next > end) break;
            if (header.n_type == NT_GNU_BUILD_ID && header.n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0 &&
                header.n_descsz * 2 < id.hex.size()) {
                static constexpr char digits[] = "0123456789abcdef";
                for (std::size_t b = 0; b < header.n_descsz; ++b) {
                    id.hex[2 * b] = digits[desc[b] >> 4];
                    id.hex[2 * b + 1] = digits[desc[b] & 15];
                }
                id.hex[2 * header.n_descsz] = '\0';
                return;
            }
            note = next;
        }
    }
}

// dl_iterate_phdr callback: stops at the object whose loaded segments hold the address.
int find_object(dl_phdr_info *info, std::size_t, void *data) {
    auto &search = *static_cast<Search *>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &segment = info->dlpi_phdr[i];
        const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD && search.address - start < segment.p_memsz) {
            read_build_id(info, *search.id);
            return 1;
        }
    }
    return 0;
}

}  // namespace

BuildId loaded_libm_build_id() {
    BuildId id;
    double (*exp_function)(double) = ::exp;
    Search search{reinterpret_cast<std::uintptr_t>(exp_function), &id};
    dl_iterate_phdr(find_object, &search);
    return id;
}
#else
BuildId loaded_libm_build_id() { return BuildId{}; }
#endif

bool is_verified_libm_build(std::string_view build_id) {
    for (std::string_view verified : VERIFIED_LIBM_BUILDS)
        if (build_id == verified) return true;
    return false;
}

namespace {

bool always() { return true; }

// Of four lanes and eight as two halves, the one that is faster on AVX2 machines (measured in
// docs/performance.md).
constexpr const char *PREFERRED_AVX2_PATH = "4";

const MathPath &path_named(std::string_view name) {
    for (const MathPath &path : MATH_PATHS)
        if (name == path.name) return path;
    return MATH_PATHS[0];
}

bool admitted(const MathPath &path, std::string_view libm_build_id) {
    return path.cpu_runs() && is_verified_libm_build(libm_build_id) && probe_agrees(path.math());
}

}  // namespace

const MathPath MATH_PATHS[4] = {{"scalar", always, scalar_batch_math},
                                {"4", cpu_has_avx2_and_fma, four_lane_batch_math},
                                {"2x4", cpu_has_avx2_and_fma, eight_lane_halves_batch_math},
                                {"8", cpu_has_avx512f, eight_lane_native_batch_math}};

const MathPath &choose_math_path(std::string_view libm_build_id, const char *forced) {
    const MathPath &scalar = MATH_PATHS[0];
    if (forced != nullptr && *forced != '\0') {
        const MathPath &path = path_named(forced);
        return admitted(path, libm_build_id) ? path : scalar;
    }
    for (const MathPath *path : {&path_named("8"), &path_named(PREFERRED_AVX2_PATH)})
        if (admitted(*path, libm_build_id)) return *path;
    return scalar;
}

const BatchMath &choose_batch_math(std::string_view libm_build_id) {
    return choose_math_path(libm_build_id, std::getenv("VS30AMP_VECTOR_WIDTH")).math();
}

const BatchMath &process_batch_math() {
    static const BatchMath &math = choose_batch_math(loaded_libm_build_id().text());
    return math;
}
