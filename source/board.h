#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "accumulator.h"

enum Colour : int { WHITE = 0, BLACK = 1 };
enum PieceType : int { PAWN = 0, KNIGHT = 1, BISHOP = 2, ROOK = 3, QUEEN = 4, KING = 5 };

constexpr int NO_PIECE = 100;
constexpr int MAX_MOVES = 218;

enum CastlingRight : uint8_t {
    WHITE_KING_SIDE = 1,
    WHITE_QUEEN_SIDE = 2,
    BLACK_KING_SIDE = 4,
    BLACK_QUEEN_SIDE = 8
};

enum MoveType : int {
    QUIET = 0,
    DOUBLE_PAWN_PUSH = 1,
    KING_CASTLE = 2,
    QUEEN_CASTLE = 3,
    CAPTURE = 4,
    EP_CAPTURE = 5,
    KNIGHT_PROMOTION = 6,
    BISHOP_PROMOTION = 7,
    ROOK_PROMOTION = 8,
    QUEEN_PROMOTION = 9,
    KNIGHT_PROMO_CAPTURE = 10,
    BISHOP_PROMO_CAPTURE = 11,
    ROOK_PROMO_CAPTURE = 12,
    QUEEN_PROMO_CAPTURE = 13,
};

inline constexpr std::string_view StartingFen = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";
inline constexpr char PIECE_LETTERS[] = "PpNnBbRrQqKk";
extern const char* const squareCoords[64];
extern const std::string_view moveTypes[14];

// 16 bits: from (0-5), to (6-11), type (12-15). 0 is "no move" and the null move.
struct Move {
    uint16_t data = 0;

    constexpr Move() = default;
    constexpr explicit Move(uint16_t raw) : data(raw) {}
    constexpr Move(int from, int to, int type) : data(uint16_t(from | (to << 6) | (type << 12))) {}

    constexpr int from() const { return data & 63; }
    constexpr int to() const { return (data >> 6) & 63; }
    constexpr int type() const { return data >> 12; }
    constexpr bool IsNull() const { return data == 0; }
    constexpr bool IsCapture() const { return (0x3C30 >> type()) & 1; }
    constexpr bool IsPromotion() const { return data >= 0x6000; }
    constexpr bool IsQuiet() const { return data < 0x4000; } // neither capture nor promotion
    // Promotion piece type (1 knight .. 4 queen); only meaningful for promotions.
    constexpr int PromotionPiece() const { return type() >= 10 ? type() - 9 : type() - 5; }

    constexpr bool operator==(const Move& other) const = default;

    std::string ToString() const; // long algebraic, e.g. "e7e8q"
    void PrintMove() const;       // writes ToString() to standard output, no separator
};

struct alignas(32) Board {
    int32_t mailbox[64]; // set by SetByFen
    uint64_t pieces[6] = {};
    uint64_t colours[2] = {};
    uint64_t occupied = 0;
    uint64_t pinned[2] = {};
    uint64_t checkers = 0;
    ACC::AccumulatorPair accPair;
    uint64_t threats[2] = {};
    Move moves[MAX_MOVES] = {};
    int32_t moveCount = 0;
    uint8_t sideToMove = 0;
    uint8_t castlingRights = 0;
    int32_t enPassantSquare = -1;
    int16_t historyIndex = 0;
    int32_t halfMoveClock = 0;
    int32_t fullMoveNumber = 1;
    uint64_t hashKey = 0;
    uint64_t pawnKey = 0;
    uint64_t nonPawnKey = 0;
    uint64_t majorKey = 0;
    uint64_t checkSquares[4] = {};

    void SetByFen(std::string_view fen);
    std::string GetFen() const;
    void MakeMove(Move m);
    // Copy-make in one pass: becomes parent with m made, as a copy of parent followed by
    // MakeMove(m) would, but reads the parent's accumulators instead of copying them first.
    void MakeMoveFrom(const Board& parent, Move m);

    uint64_t CalcPinned(bool colour) const;
    bool IsLegal(Move m) const;
    bool IsPseudoLegal(Move m) const;
    bool GivesDirectCheck(Move m) const;
    bool InPossibleZug() const;

    void ResetAccPair();
    // Rebuilds one perspective's array from scratch; the other is left as it is.
    void ResetAccumulator(int perspective);

    int KingSquare(int colour) const { return __builtin_ctzll(pieces[KING] & colours[colour]); }

  private:
    // The accumulator step reads source's arrays (this pair's own for an in-place move).
    void MakeMove(Move m, const ACC::AccumulatorPair& source);
};

// Checks a FEN before it may be loaded; returns an empty string when it is acceptable,
// otherwise a short description of what is wrong.
std::string ValidateFen(std::string_view fen);

// The generated move of board's current list that the long-algebraic token names, or Move()
// when the token is malformed or names no generated move (a promotion without its piece letter
// names none). Legality is not tested.
Move ParseMove(const Board& board, std::string_view token);

// The first legal move of the position in generation order, or Move() when there is none.
Move FirstLegalMove(const Board& board);

void PrintBoard(const Board& board);
