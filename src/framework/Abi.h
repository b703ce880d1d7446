// Compile-time checks of what the component shares with code it did not build: calling
// conventions of functions and interface methods that cross the boundary, and record layouts.
// On i686 a function pointer's calling convention is part of its type, so a WINAPI entry point
// resolved with GetProcAddress or a hand-written interface method without STDMETHODCALLTYPE is
// caught here instead of corrupting the stack at run time; x86-64 has one convention only.
#pragma once
#include <windows.h>
#include <cstddef>
#include <type_traits>

namespace trel {

template <class F>
struct IsWinapi : std::false_type {};
#ifdef _WIN64
template <class R, class... A>
struct IsWinapi<R (*)(A...)> : std::true_type {};
template <class R, class C, class... A>
struct IsWinapi<R (C::*)(A...)> : std::true_type {};
#else
template <class R, class... A>
struct IsWinapi<R(WINAPI*)(A...)> : std::true_type {};
template <class R, class C, class... A>
struct IsWinapi<R (STDMETHODCALLTYPE C::*)(A...)> : std::true_type {};
#endif

// The size a record has on the current target: the first value on i686, the second on x86-64.
constexpr std::size_t ForTarget(std::size_t i686, std::size_t x86_64)
{
    return sizeof(void*) == 4 ? i686 : x86_64;
}

}  // namespace trel

#define TREL_ASSERT_WINAPI(F) static_assert(::trel::IsWinapi<F>::value, #F " crosses to outside code: WINAPI")
