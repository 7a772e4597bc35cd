// Evaluation runs once per record in index builds: once its buffers have grown, an
// evaluation allocates nothing. This program counts the global operator new while a
// test asks it to.
#include "expr_test_link.h"

#include "engine/expr/tv6_sql.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

namespace {

std::atomic<bool> Counting{false};
std::atomic<long> Allocations{0};

} // namespace

// Kept out of line: inlined into its callers, the free below would look like a
// mismatched deallocation to the compiler.
[[gnu::noinline]] void* operator new(std::size_t size) {
    if (Counting.load(std::memory_order_relaxed))
        Allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

[[gnu::noinline]] void operator delete(void* memory) noexcept {
    std::free(memory);
}
[[gnu::noinline]] void operator delete(void* memory, std::size_t /*size*/) noexcept {
    std::free(memory);
}

namespace tarnis::test {
namespace {

// The allocations of Rounds evaluations of Text over changing records; the first
// (warming) evaluation is not counted.
long AllocationsOf(const std::string& Text, int Rounds = 20) {
    TestLink link;
    TtvExpHandler handler(&link, false, Text);
    TtvExpBuffer buffer;
    TtvVariant variant(256);
    const std::string names[] = {"SMITHSON", "O'HARA", "\xE9mile", "JONES"};
    // The longest values first, so that the first round grows every buffer.
    link.Name->SetPadded(names[0]);
    handler.Evaluate(buffer);
    handler.EvaluateVariant(variant);
    Allocations = 0;
    Counting = true;
    for (int i = 0; i < Rounds; ++i) {
        link.Name->SetPadded(names[i % 4]);
        link.Qty->Number = i * 7 - 20;
        link.Amount->Number = i * 1234.567;
        link.Born->Number = 2451538 + i * 31;
        link.Active->Logical = i % 3 != 0;
        handler.Evaluate(buffer);
        handler.EvaluateVariant(variant);
    }
    Counting = false;
    return Allocations.load();
}

TEST(ExprAllocation, EvaluationAllocatesNothingOnceWarm) {
    for (const char* text : {
             "UPPER(NAME)+DTOS(BORN)",
             "STR(QTY,5)+NAME",
             "NAME = 'SMI*' .AND. QTY > 10 .OR. .NOT. ACTIVE",
             "IIF(ACTIVE, LEFT(NAME, 3), SUBSTR(CITY, 2, 3))",
             "DESCEND(AMOUNT)",
             "PADL(ALLTRIM(NAME), 25, '*') + PADC(TRIM(CITY), 20)",
             "AT('S', NAME, 2) + LEN(TRIM(CITY)) + ASC(NAME)",
             "STR(AMOUNT, 12, 2) + STRZERO(QTY, 6)",
             "DTOS(BORN) + CITY - NAME",
             "DESCEND(NAME) + SOUNDEX(NAME) + LOWER(CITY)",
             "EMPTY(NAME) .OR. BORN > {01/01/2000} .AND. RIGHT(NAME, 2) == 'ON'",
             "CEILING(AMOUNT / 3) * FLOOR(QTY ^ 2) + INT(AMOUNT)",
             "DTOC(BORN) + DTOC(BORN, 1)",
             "VAL(STR(AMOUNT, 10, 2)) + VAL('12')",
             "DOW(BORN) + CTOD(DTOS(BORN))",
         }) {
        SCOPED_TRACE(text);
        EXPECT_EQ(AllocationsOf(text), 0);
    }
}

TEST(ExprAllocation, TheCounterSeesAllocations) {
    // Building a longer text each round must grow a buffer and be counted.
    TestLink link;
    TtvExpHandler handler(&link, false, "NAME + NAME");
    TtvExpBuffer buffer;
    handler.Evaluate(buffer);
    std::string longer(5000, 'x');
    Allocations = 0;
    Counting = true;
    link.Name->Text.swap(longer);
    handler.Evaluate(buffer);
    Counting = false;
    EXPECT_GT(Allocations.load(), 0);
}

} // namespace
} // namespace tarnis::test
