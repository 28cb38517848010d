#pragma once
// The one place where exceptions stop: every operation of the interface and
// the factory run their body through guarded(), so that nothing thrown below
// (std::bad_alloc from a std::string, vector or function, as a rule) crosses
// into a host that may not even be C++.
#include <exception>
#include <new>

namespace plugin {

// body's result, or failed after onFailure(what) was told why; onFailure
// must not throw.
template <class Result, class Body, class OnFailure>
Result guarded(Result failed, Body&& body, OnFailure&& onFailure) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        onFailure("memory ran out");
    } catch (const std::exception& e) {
        onFailure(e.what());
    } catch (...) {
        onFailure("an unknown exception");
    }
    return failed;
}

}  // namespace plugin
