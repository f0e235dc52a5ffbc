#pragma once

namespace tyvo::rt::detail {

// Lets the core rest a little between two looks at a clock or a flag while spinning.
inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace tyvo::rt::detail
