#include "transfer/BoardFacts.h"

namespace {

constexpr uint32_t RAM_XERF1 = 0x05000000, RAM_XERF2 = 0x00400000;
constexpr uint32_t KIB = 1024;

constexpr CBoardFacts BOARDS[BOARD_ID_MAX + 1] = {
    {0, 0x1000, MEMORY_MAP_XERF1, RAM_XERF1, 512 * KIB, false, false},
    {1, 0x1000, MEMORY_MAP_XERF1, RAM_XERF1, 512 * KIB, false, false},
    {2, 0x2000, MEMORY_MAP_XERF1, RAM_XERF1, 1024 * KIB, true, false},
    {3, 0x2000, MEMORY_MAP_XERF1, RAM_XERF1, 1024 * KIB, true, false},
    {4, 0x4000, MEMORY_MAP_XERF2, RAM_XERF2, 1024 * KIB, false, false},
    {5, 0x3000, MEMORY_MAP_XERF2, RAM_XERF2, 1024 * KIB, true, true},
    {6, 0x3000, MEMORY_MAP_XERF2, RAM_XERF2, 1024 * KIB, false, false},
    {7, 0x3000, MEMORY_MAP_XERF2, RAM_XERF2, 2048 * KIB, true, true},
    {8, 0x3000, MEMORY_MAP_XERF2, RAM_XERF2, 2048 * KIB, false, false},
    {9, 0x3000, MEMORY_MAP_XERF2, RAM_XERF2, 2048 * KIB, true, true},
    {10, 0x3000, MEMORY_MAP_XERF2, RAM_XERF2, 2048 * KIB, false, false},
};

}  // namespace

const CBoardFacts* FindBoard(int32_t boardId)
{
    return boardId >= 0 && boardId <= BOARD_ID_MAX ? &BOARDS[boardId] : nullptr;
}
