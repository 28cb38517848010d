#include "text/ext_ptr_array.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Counts its destructions in a slot the test owns.
class Counted : public BrenvikObject {
  public:
    Counted(int id, int* destroyed) : id(id), m_destroyed(destroyed) {}
    ~Counted() override { ++*m_destroyed; }
    int id;

  private:
    int* m_destroyed;
};

int idAt(const ExtPtrArray& a, uint32_t i) {
    return a.at<Counted>(i)->id;
}

}  // namespace

TEST(ExtPtrArray, EmptyArray) {
    ExtPtrArray a;
    EXPECT_EQ(a.count(), 0u);
    EXPECT_EQ(a.capacity(), 0u);
    EXPECT_EQ(a.growthStep(), 5u);
    EXPECT_EQ(a.getAt(0), nullptr);
    EXPECT_EQ(a.last(), nullptr);
    EXPECT_EQ(a.pop(), nullptr);
    EXPECT_EQ(a.removeAt(0), nullptr);
    a.deleteAll();
    EXPECT_EQ(a.count(), 0u);
}

TEST(ExtPtrArray, RemoveAtZeroShiftsAndDoesNotDelete) {
    int destroyed[3] = {0, 0, 0};
    Counted* objs[3];
    ExtPtrArray a;
    for (int i = 0; i < 3; ++i) {
        objs[i] = new Counted(i, &destroyed[i]);
        ASSERT_TRUE(a.append(objs[i]));
    }
    BrenvikObject* removed = a.removeAt(0);
    EXPECT_EQ(removed, objs[0]);
    EXPECT_EQ(a.count(), 2u);
    EXPECT_EQ(a.getAt(0), objs[1]);
    EXPECT_EQ(a.getAt(1), objs[2]);
    EXPECT_EQ(a.getAt(2), nullptr);
    EXPECT_EQ(destroyed[0], 0);
    EXPECT_EQ(destroyed[1], 0);
    EXPECT_EQ(destroyed[2], 0);
    delete removed;
    EXPECT_EQ(destroyed[0], 1);
    a.deleteAll();
    EXPECT_EQ(destroyed[1], 1);
    EXPECT_EQ(destroyed[2], 1);
}

TEST(ExtPtrArray, DeleteAllDeletesEachOnceThroughVirtualDestructor) {
    std::vector<int> destroyed(12, 0);
    ExtPtrArray a;
    for (int i = 0; i < 12; ++i) a.append(new Counted(i, &destroyed[static_cast<size_t>(i)]));
    a.append(nullptr);  // a hole is allowed
    a.deleteAll();
    EXPECT_EQ(a.count(), 0u);
    for (int d : destroyed) EXPECT_EQ(d, 1);
    a.deleteAll();  // nothing left to delete twice
    for (int d : destroyed) EXPECT_EQ(d, 1);
}

TEST(ExtPtrArray, TruncateAndPopDoNotDelete) {
    int destroyed = 0;
    Counted x(1, &destroyed), y(2, &destroyed), z(3, &destroyed);
    ExtPtrArray a;
    a.append(&x);
    a.append(&y);
    a.append(&z);
    EXPECT_EQ(a.last(), &z);
    EXPECT_EQ(a.pop(), &z);
    EXPECT_EQ(a.count(), 2u);
    EXPECT_EQ(a.last(), &y);
    a.truncateNoDelete();
    EXPECT_EQ(a.count(), 0u);
    EXPECT_EQ(a.getAt(0), nullptr);
    EXPECT_EQ(destroyed, 0);
}

TEST(ExtPtrArray, GrowthStepDoublesCapacityUpTo100000) {
    int destroyed = 0;
    Counted obj(0, &destroyed);
    ExtPtrArray a;
    a.append(&obj);
    EXPECT_EQ(a.capacity(), 5u);
    EXPECT_EQ(a.growthStep(), 5u);
    for (int i = 1; i < 5; ++i) a.append(&obj);
    EXPECT_EQ(a.capacity(), 5u);
    a.append(&obj);  // sixth
    EXPECT_EQ(a.capacity(), 10u);
    EXPECT_EQ(a.growthStep(), 10u);
    while (a.count() < 11) a.append(&obj);
    EXPECT_EQ(a.capacity(), 20u);
    EXPECT_EQ(a.growthStep(), 20u);

    // Follow the rule independently until the step is capped.
    uint32_t cap = 20, step = 20;
    while (cap < 300000) {
        while (a.count() < cap) a.append(&obj);
        ASSERT_EQ(a.capacity(), cap);
        a.append(&obj);
        cap += step;
        if (step < 100000) step = cap < 100000 ? cap : 100000;
        ASSERT_EQ(a.capacity(), cap);
        ASSERT_EQ(a.growthStep(), step);
    }
    EXPECT_EQ(a.growthStep(), 100000u);
    uint32_t before = a.capacity();
    while (a.count() < before) a.append(&obj);
    a.append(&obj);
    EXPECT_EQ(a.capacity(), before + 100000u);
    for (uint32_t i = 0; i < a.count(); i += 997) ASSERT_EQ(a.getAt(i), &obj);
    a.truncateNoDelete();
}

TEST(ExtPtrArray, InsertAndSet) {
    int destroyed = 0;
    Counted a1(1, &destroyed), a2(2, &destroyed), a3(3, &destroyed), a4(4, &destroyed);
    ExtPtrArray a;
    a.append(&a1);
    a.append(&a3);
    ASSERT_TRUE(a.insertAt(1, &a2));
    ASSERT_TRUE(a.insertAt(0, &a4));
    ASSERT_EQ(a.count(), 4u);
    EXPECT_EQ(idAt(a, 0), 4);
    EXPECT_EQ(idAt(a, 1), 1);
    EXPECT_EQ(idAt(a, 2), 2);
    EXPECT_EQ(idAt(a, 3), 3);
    EXPECT_EQ(a.setAt(0, &a1), &a4);
    EXPECT_EQ(idAt(a, 0), 1);
    EXPECT_EQ(a.setAt(9, &a4), nullptr);
    EXPECT_EQ(a.count(), 4u);
    ASSERT_TRUE(a.insertAt(100, &a4));  // past the end appends
    EXPECT_EQ(a.last(), &a4);
    EXPECT_EQ(destroyed, 0);
    a.truncateNoDelete();
}

TEST(ExtPtrArray, RemoveAtLastAndMiddle) {
    int destroyed = 0;
    Counted o[5] = {
        {0, &destroyed}, {1, &destroyed}, {2, &destroyed}, {3, &destroyed}, {4, &destroyed}};
    ExtPtrArray a;
    for (auto& x : o) a.append(&x);
    EXPECT_EQ(a.removeAt(4), &o[4]);
    EXPECT_EQ(a.removeAt(1), &o[1]);
    EXPECT_EQ(a.removeAt(3), nullptr);
    ASSERT_EQ(a.count(), 3u);
    EXPECT_EQ(idAt(a, 0), 0);
    EXPECT_EQ(idAt(a, 1), 2);
    EXPECT_EQ(idAt(a, 2), 3);
    a.truncateNoDelete();
}
