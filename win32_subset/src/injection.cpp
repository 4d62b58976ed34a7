// The failure-injection seam: the hook a test installs to make one platform call fail.
#include <atomic>

#include "state.h"

namespace win32sim {
namespace detail {
namespace {

std::mutex g_hook_mutex;
std::shared_ptr<const InjectionHook> g_hook;
std::atomic<bool> g_hooked{false};

}  // namespace

Injection injected(Api api, uint32_t code, const void* in, uint32_t in_size) {
  if (!g_hooked.load(std::memory_order_acquire)) return {};
  std::shared_ptr<const InjectionHook> hook;
  {
    std::lock_guard<std::mutex> lock(g_hook_mutex);
    hook = g_hook;
  }
  if (!hook || !*hook) return {};
  return (*hook)(ApiCall{api, code, in, in_size});
}

}  // namespace detail

void set_injection_hook(InjectionHook hook) {
  std::lock_guard<std::mutex> lock(detail::g_hook_mutex);
  if (hook) {
    detail::g_hook = std::make_shared<const InjectionHook>(std::move(hook));
  } else {
    detail::g_hook.reset();
  }
  detail::g_hooked.store(detail::g_hook != nullptr, std::memory_order_release);
}

}  // namespace win32sim
