#include "Kiln/Src/Kiln/KernelStandard/StringTable.h"

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Kiln/Src/Kiln/KernelStandard/KilnStartup.h"

namespace
{

using Kiln::GetStringTable;
using Kiln::InternedString;
using Kiln::StringTable;

TEST(StringTable, EqualTextsShareOneEntryThatOutlivesItsLastReference)
{
    StringTable* table = GetStringTable();
    const auto before = table->GetCounters();
    InternedString* a = table->InternCString("abc");
    InternedString* b = table->Intern("abcdef", 3);
    ASSERT_EQ(a, b);
    EXPECT_STREQ(a->Text(), "abc");
    EXPECT_EQ(a->refcount, 2u);
    auto now = table->GetCounters();
    EXPECT_EQ(now.live, before.live + 1);
    EXPECT_EQ(now.references, before.references + 2);
    EXPECT_EQ(now.created, before.created + 1);
    table->Release(a);
    table->Release(b);
    EXPECT_EQ(a->refcount, 0u);
    now = table->GetCounters();
    EXPECT_EQ(now.live, before.live);
    EXPECT_EQ(now.references, before.references);
    EXPECT_EQ(table->InternCString("abc"), a);  // revived, not created again
    EXPECT_EQ(table->GetCounters().created, now.created);
    table->Release(a);
    EXPECT_EQ(table->InternCString(nullptr), nullptr);
}

TEST(StringTable, EightThreadsKeepTheCountsConsistent)
{
    StringTable* table = GetStringTable();
    std::vector<std::string> texts;
    for (int i = 0; i < 1000; ++i)
        texts.push_back("/install/data/routes/r" + std::to_string(i) + "/tile.bin");
    const auto before = table->GetCounters();
    // Every thread first interns all texts: the handles must agree across threads.
    std::vector<std::vector<InternedString*>> handles(8);
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 8; ++t)
    {
        threads.emplace_back([&, t] {
            for (const auto& text : texts)
                handles[t].push_back(table->InternCString(text.c_str()));
            std::mt19937 random(static_cast<unsigned>(t));
            for (int i = 0; i < 20000; ++i)
            {
                const std::string& text = texts[random() % texts.size()];
                InternedString* e = table->InternCString(text.c_str());
                if (text != e->Text())
                    ++mismatches;
                if (i % 7 == 0)
                    table->PurgeStep();
                table->Release(e);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
    for (int t = 1; t < 8; ++t)
        EXPECT_EQ(handles[t], handles[0]);
    auto now = table->GetCounters();
    EXPECT_EQ(now.live, before.live + 1000);
    EXPECT_EQ(now.references, before.references + 8000);
    for (InternedString* e : handles[0])
        EXPECT_EQ(e->refcount, 8u);
    threads.clear();
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (InternedString* e : handles[t])
                table->Release(e);
        });
    for (auto& thread : threads)
        thread.join();
    now = table->GetCounters();
    EXPECT_EQ(now.live, before.live);
    EXPECT_EQ(now.references, before.references);
}

}  // namespace
