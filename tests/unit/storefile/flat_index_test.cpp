// The store's flat index against a plain model: random adds and removals
// under a few keys, so that runs wrap around the table, several elements
// share a key and removal has to shift later slots back.
#include <array>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capi/flat_index.h"

namespace {

struct Fake {
    struct {
        std::uint64_t seq = 0;
    } core;
    std::string key;
    std::array<std::string_view, 1> Keys() const { return {key}; }
};

TEST(FlatIndex, FindsWhatAModelHoldsUnderRandomAddsAndRemovals) {
    for (int keys : {3, 40, 400}) {
        SCOPED_TRACE(keys);
        std::mt19937 random(keys);
        cert::capi::FlatIndex<Fake> index;
        std::map<std::string, std::set<std::uint64_t>> model;
        std::vector<std::unique_ptr<Fake>> live;
        std::uint64_t seq = 0;
        for (int step = 0; step < 3000; ++step) {
            if (live.empty() || random() % 3 != 0) {
                auto e = std::make_unique<Fake>();
                e->core.seq = ++seq;
                e->key = "k" + std::to_string(random() % keys);
                index.Insert(e->key, e.get());
                model[e->key].insert(e->core.seq);
                live.push_back(std::move(e));
            } else {
                const std::size_t at = random() % live.size();
                index.Erase(live[at]->key, live[at].get());
                model[live[at]->key].erase(live[at]->core.seq);
                live.erase(live.begin() + std::ptrdiff_t(at));
            }
            if (step % 97 != 0 && step != 2999) continue;
            for (int k = 0; k < keys; ++k) {
                const std::string key = "k" + std::to_string(k);
                std::vector<std::uint64_t> found;
                for (const Fake* e = index.Next(key, 0); e; e = index.Next(key, e->core.seq))
                    found.push_back(e->core.seq);
                const std::set<std::uint64_t>& want = model[key];
                ASSERT_EQ(found, std::vector<std::uint64_t>(want.begin(), want.end())) << key << " at step " << step;
            }
            EXPECT_EQ(index.Next("absent", 0), nullptr);
        }
        index.Clear();
        EXPECT_EQ(index.Next("k0", 0), nullptr);
    }
}

}  // namespace
