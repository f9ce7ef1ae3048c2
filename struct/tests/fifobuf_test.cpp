// FIFO byte buffer: sizing, growth, wrap-around, shrinking, refusals, the
// full-at-maximum case of each build, and fr_tree_destroy.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>
#include <kivo/fifobuf.h>

namespace {

int32_t put(fr_fifobuf_t *b, const std::string &s) {
#if KIVO_THREADS
    return fr_fifobuf_write(b, s.data(), (int32_t)s.size(), -1);  // never wait here
#else
    return fr_fifobuf_write(b, s.data(), (int32_t)s.size());
#endif
}
std::string take(fr_fifobuf_t *b, int32_t n) {
    std::string out(n, '\0');
    int32_t got = fr_fifobuf_read(b, &out[0], n);
    out.resize(got < 0 ? 0 : got);
    return out;
}
std::string pattern(int n, int seed) {
    std::string s(n, '\0');
    for (int i = 0; i < n; i++) s[i] = (char)('a' + (i * 7 + seed) % 26);
    return s;
}

TEST(Fifobuf, SizingAndGrowth) {
    struct { int32_t init, max, cap, maxcap; } cases[] = {
        {0, 0, 512, 4194304}, {1000, 0, 1024, 4194304}, {0, 1, 512, 512}, {5000, 1000, 1024, 1024}, {600, 2000, 1024, 2048}};
    for (auto c : cases) {
        fr_fifobuf_t *b = fr_fifobuf_init(c.init, c.max);
        EXPECT_EQ(c.cap, b->capacity) << c.init << "/" << c.max;
        EXPECT_EQ(c.maxcap, b->maximum);
        EXPECT_EQ(FR_FIFOBUF_EMPTY, b->hdr.type_word);
        fr_fifobuf_unref(b);
    }
    EXPECT_EQ(nullptr, fr_fifobuf_init(-1, 0));

    fr_fifobuf_t *b = fr_fifobuf_init(0, 0);
    std::string s = pattern(600, 1);
    EXPECT_EQ(600, put(b, s));
    EXPECT_EQ(1536, b->capacity);
    EXPECT_EQ(s.substr(0, 100), take(b, 100));
    EXPECT_EQ(768, b->capacity);  // 1536 / 600 > 1: halved on the read
    EXPECT_EQ(s.substr(100), take(b, 1000));
    EXPECT_EQ(FR_FIFOBUF_EMPTY, b->hdr.type_word);
    EXPECT_EQ(0, fr_extend(b, 100));
    EXPECT_EQ(1536, b->capacity);
    EXPECT_EQ(0, fr_shrink(b));
    EXPECT_EQ(768, b->capacity);
    EXPECT_EQ(-1, fr_shrink(b));  // 384 would be below the floor
    fr_fifobuf_unref(b);
}

TEST(Fifobuf, WrapAroundKeepsWriteOrder) {
    fr_fifobuf_t *b = fr_fifobuf_init(0, 0);
    std::string a = pattern(400, 0), c = pattern(300, 5), d = pattern(600, 9);
    put(b, a);
    EXPECT_EQ(a.substr(0, 300), take(b, 300));
    EXPECT_EQ(300, put(b, c));  // wraps: 112 at the end, 188 at the start
    EXPECT_EQ(512, b->capacity);
    EXPECT_EQ(188, b->write_pos);
    EXPECT_EQ(-1, fr_shrink(b));  // would cut wrapped content
    EXPECT_EQ(600, put(b, d));    // grows while wrapped
    EXPECT_EQ(1536, b->capacity);
    EXPECT_EQ(a.substr(300) + c + d, take(b, 5000));

    // A read of 10 from 4 bytes gives 4 and empties the buffer.
    put(b, "wxyz");
    EXPECT_EQ("wxyz", take(b, 10));
    EXPECT_TRUE(b->hdr.type_word & FR_FIFOBUF_EMPTY);
    EXPECT_EQ("", take(b, 10));
    fr_fifobuf_unref(b);
}

TEST(Fifobuf, RefusalsAndFullAtMaximum) {
    char buf[8];
    EXPECT_EQ(-1, fr_fifobuf_read(nullptr, buf, 8));
    EXPECT_EQ(-1, put(nullptr, "x"));
    fr_fifobuf_t *b = fr_fifobuf_init(0, 1);
    EXPECT_EQ(0, fr_fifobuf_read(b, nullptr, 8));
    EXPECT_EQ(0, put(b, ""));
    std::string s = pattern(700, 3);
    // Plain build: never waits, returns what fitted. Thread-safe build with
    // a negative time-out: the same.
    EXPECT_EQ(512, put(b, s));
    EXPECT_EQ(0, put(b, "more"));
    EXPECT_EQ(s.substr(0, 512), take(b, 600));
    fr_fifobuf_unref(b);
}

int released;
void count_release(fr_tree_node_t *n) {
    released++;
    free(n);
}
fr_tree_node_t *node(fr_tree_node_t *parent) {
    fr_tree_node_t *n = (fr_tree_node_t *)calloc(1, sizeof *n);
    if (parent) {
        if (!parent->children) {
            parent->children = (fr_tree_link_t *)malloc(sizeof(fr_tree_link_t));
            parent->children->next = parent->children->prev = parent->children;
        }
        fr_tree_link_t *h = parent->children;
        n->sibling.next = h;
        n->sibling.prev = h->prev;
        h->prev->next = &n->sibling;
        h->prev = &n->sibling;
        n->linked = 1;
    }
    return n;
}

TEST(Fifobuf, TreeDestroyReleasesEveryNode) {
    fr_tree_node_t *root = node(nullptr);
    fr_tree_node_t *a = node(root);
    node(root);
    node(a), node(a);
    node(node(a));
    released = 0;
    EXPECT_EQ(0, fr_tree_destroy(a, count_release));  // a subtree: unlinks itself
    EXPECT_EQ(5, released);
    EXPECT_EQ(root->children->next, root->children->prev);  // one child left
    EXPECT_EQ(0, fr_tree_destroy(root, count_release));
    EXPECT_EQ(7, released);
    EXPECT_EQ(1, fr_tree_destroy(nullptr, nullptr));
}

}  // namespace
