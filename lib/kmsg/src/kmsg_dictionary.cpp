// The constant protocol dictionary shared with the key daemon.
#include "kmsg.h"

namespace {

const std::uint32_t kKeySnList[] = {TAG_KEY_SN};

const KMsgDictMessage kMessages[] = {
    {0, 1, kKeySnList}, {1, 1, kKeySnList}, {2, 0, nullptr}, {3, 1, kKeySnList},
    {4, 0, nullptr},    {5, 0, nullptr},    {6, 0, nullptr},
};

const KMsgDictTag kTags[] = {
    {0, 2},  {1, 1},  {2, 1},  {3, 1},  {4, 1},  {5, 1},  {6, 1},  {7, 1},  {8, 1},  {9, 1},
    {10, 4}, {11, 4}, {12, 4}, {13, 4}, {14, 2}, {15, 2}, {16, 2}, {17, 2}, {18, 2}, {19, 5},
    {20, 1}, {21, 4}, {22, 4}, {23, 1}, {24, 2}, {25, 4}, {26, 2}, {27, 2}, {28, 2}, {29, 2},
    {30, 2}, {31, 4}, {32, 2}, {33, 4}, {34, 4}, {35, 1}, {36, 3}, {37, 5}, {38, 1}, {39, 2},
    {40, 2}, {41, 3}, {42, 2}, {43, 1}, {44, 3}, {45, 4},
};

const KMsgDictAux kAux[] = {{0, 0}};

static_assert(sizeof(kMessages) / sizeof(kMessages[0]) == 7, "7 message entries");
static_assert(sizeof(kTags) / sizeof(kTags[0]) == 46, "46 tag entries");

const KMsgDictionary kDictionary = {1, 1, 7, 46, 1, kMessages, kTags, kAux};

}  // namespace

const KMsgDictionary* const kmsgDictionary = &kDictionary;
