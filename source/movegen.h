#pragma once

#include <cstdint>

struct Board;

// Compile-time generation mode.
enum MovegenMode : int {
    Noisy = 1, // en passant, captures, capture-promotions and all push promotions
    All = 2,   // every pseudo-legal move
};

namespace MOVEGEN {

extern uint64_t kingAttacks[64];
extern uint64_t knightAttacks[64];
extern uint64_t pawnAttacks[2][64];
extern uint64_t bishopMasks[64];
extern uint64_t rookMasks[64];
extern uint64_t bishopAttacks[64][512];
extern uint64_t rookAttacks[64][4096];
extern const uint64_t bishopMagicNumbers[64];
extern const uint64_t rookMagicNumbers[64];
extern const int bishopRelevantBits[64];
extern const int rookRelevantBits[64];
// Squares strictly between two squares on a common rank, file or diagonal; 0 otherwise.
extern uint64_t betweenSquares[64][64];
// The whole rank, file or diagonal through two squares (both included); 0 when not aligned.
extern uint64_t lineSquares[64][64];

inline uint64_t BishopAttacks(int sq, uint64_t occ) {
    return bishopAttacks[sq]
                        [((occ & bishopMasks[sq]) * bishopMagicNumbers[sq]) >> (64 - bishopRelevantBits[sq])];
}
inline uint64_t RookAttacks(int sq, uint64_t occ) {
    return rookAttacks[sq][((occ & rookMasks[sq]) * rookMagicNumbers[sq]) >> (64 - rookRelevantBits[sq])];
}
inline uint64_t QueenAttacks(int sq, uint64_t occ) {
    return BishopAttacks(sq, occ) | RookAttacks(sq, occ);
}

// Recomputes board.threats for both colours.
void GenThreatMaps(Board& board);

template <MovegenMode mode> void GenPawnMoves(Board& board);
template <MovegenMode mode> void GenKnightMoves(Board& board);
template <MovegenMode mode> void GenKingMoves(Board& board);
template <MovegenMode mode> void GenBishopMoves(Board& board);
template <MovegenMode mode> void GenRookMoves(Board& board);
template <MovegenMode mode> void GenQueenMoves(Board& board);

// Whole-position generation into board.moves: resets the list, recomputes threats, then
// pawns, knights, king, bishops, rooks, queens.
template <MovegenMode mode> void GenerateMoves(Board& board);
// The same list without recomputing threats, for boards whose threats are current: every board
// after SetByFen or MakeMove (threats depend on the placement only, so a null move keeps them).
template <MovegenMode mode> void GeneratePieceMoves(Board& board);

// Number of moves GenerateMoves<All> would produce, without the list's capacity limit.
// Needs current threats (castling).
int CountMoves(const Board& board);

} // namespace MOVEGEN

void InitAttackTables();
