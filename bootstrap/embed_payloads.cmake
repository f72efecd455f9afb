# Writes the source that assembles the installer's payloads into orlex-bootstrap (bootstrap_payloads.h):
#   cmake -DLAUNCHER=<zip> -DRUNTIME=<zip> -DICON=<png> -DOUTPUT=<cpp> -P embed_payloads.cmake
# Run at build time, whenever a payload changes: the names the payloads get on disk are fixed from their
# bytes here, the launcher id being the first 16 hex digits of the SHA-256 of the launcher archive and the
# runtime id the same of the runtime zip (which is made reproducibly, so one runtime keeps one id).
foreach(input LAUNCHER RUNTIME ICON)
  if(NOT EXISTS "${${input}}")
    message(FATAL_ERROR "embed_payloads: ${input} file '${${input}}' is missing")
  endif()
  file(SIZE "${${input}}" size)
  if(size EQUAL 0)
    message(FATAL_ERROR "embed_payloads: ${input} file '${${input}}' is empty")
  endif()
  # The assembler reads the name between double quotes, with backslash escapes.
  if("${${input}}" MATCHES "[\"\\\\\n]")
    message(FATAL_ERROR "embed_payloads: the path of ${input} holds a quote, a backslash or a line end")
  endif()
endforeach()
file(SHA256 "${LAUNCHER}" launcher_digest)
file(SHA256 "${RUNTIME}" runtime_digest)
string(SUBSTRING "${launcher_digest}" 0 16 launcher_id)
string(SUBSTRING "${runtime_digest}" 0 16 runtime_id)

file(WRITE "${OUTPUT}" "// Made by bootstrap/embed_payloads.cmake at build time from:
//   ${LAUNCHER}
//   ${RUNTIME}
//   ${ICON}
#include \"bootstrap/bootstrap_payloads.h\"

#include \"bootstrap/bootstrap_flow.h\"

// Read-only data of the program image, each block 16-byte aligned, named by hidden symbols.
__asm__(R\"(
    .pushsection .rodata.orlex_payloads, \"a\", @progbits
    .balign 16
    .globl orlex_launcher_payload_begin, orlex_launcher_payload_end
    .hidden orlex_launcher_payload_begin, orlex_launcher_payload_end
orlex_launcher_payload_begin:
    .incbin \"${LAUNCHER}\"
orlex_launcher_payload_end:
    .balign 16
    .globl orlex_runtime_payload_begin, orlex_runtime_payload_end
    .hidden orlex_runtime_payload_begin, orlex_runtime_payload_end
orlex_runtime_payload_begin:
    .incbin \"${RUNTIME}\"
orlex_runtime_payload_end:
    .balign 16
    .globl orlex_icon_begin, orlex_icon_end
    .hidden orlex_icon_begin, orlex_icon_end
orlex_icon_begin:
    .incbin \"${ICON}\"
orlex_icon_end:
    .popsection
)\");

extern \"C\" {
extern const std::byte orlex_launcher_payload_begin[], orlex_launcher_payload_end[];
extern const std::byte orlex_runtime_payload_begin[], orlex_runtime_payload_end[];
extern const std::byte orlex_icon_begin[], orlex_icon_end[];
}

namespace orlex::bootstrap {

std::span<const std::byte> embeddedPayload(int id) {
    switch (id) {
    case LAUNCHER_PAYLOAD:
        return {orlex_launcher_payload_begin, orlex_launcher_payload_end};
    case RUNTIME_PAYLOAD:
        return {orlex_runtime_payload_begin, orlex_runtime_payload_end};
    default:
        return {};
    }
}

std::span<const std::byte> embeddedIcon() {
    return {orlex_icon_begin, orlex_icon_end};
}

BootstrapIds embeddedIds() {
    return {.launcherId = u\"${launcher_id}\", .runtimeId = u\"${runtime_id}\"};
}

}  // namespace orlex::bootstrap
")
