// The one owner of host references: every way a ComPtr takes, passes on or
// lets go of a reference, counted on an object of the test's own.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <utility>

#include "host/ComSupport.h"

namespace {

struct Counted {
    int32_t count = 1;  // the reference the test itself holds
    uint32_t AddRef() { return static_cast<uint32_t>(++count); }
    uint32_t Release() { return static_cast<uint32_t>(--count); }
};

using host::ComPtr;

TEST(ComPtr, EveryWayOfHoldingAndLettingGoCountsOneReferenceEach) {
    const struct {
        const char* name;
        std::function<void(Counted& a, Counted& b)> run;
        int32_t a, b;  // the counts afterwards, the test's own reference included
    } cases[] = {
        {"made from a pointer, then destroyed",
         [](Counted& a, Counted&) { ComPtr<Counted> p(&a); EXPECT_EQ(a.count, 2); }, 1, 1},
        {"copied", [](Counted& a, Counted&) { ComPtr<Counted> p(&a); ComPtr<Counted> q(p); EXPECT_EQ(a.count, 3); }, 1, 1},
        {"moved", [](Counted& a, Counted&) { ComPtr<Counted> p(&a); ComPtr<Counted> q(std::move(p)); EXPECT_EQ(a.count, 2); }, 1, 1},
        {"assigned over another",
         [](Counted& a, Counted& b) { ComPtr<Counted> p(&a); p = ComPtr<Counted>(&b); EXPECT_EQ(a.count, 1); EXPECT_EQ(b.count, 2); }, 1, 1},
        {"Reset", [](Counted& a, Counted&) { ComPtr<Counted> p(&a); p.Reset(); EXPECT_EQ(a.count, 1); }, 1, 1},
        {"Put over a held reference: released before the out-argument is handed out",
         [](Counted& a, Counted& b) {
             ComPtr<Counted> p(&a);
             Counted** out = p.Put();
             EXPECT_EQ(a.count, 1);
             EXPECT_EQ(*out, nullptr);
             b.AddRef();  // what a host method does for its out-argument
             *out = &b;
         }, 1, 1},
        {"Attach adopts without counting", [](Counted& a, Counted&) { a.AddRef(); auto p = ComPtr<Counted>::Attach(&a); }, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Counted a, b;
        c.run(a, b);
        EXPECT_EQ(a.count, c.a);
        EXPECT_EQ(b.count, c.b);
    }
}

}  // namespace
