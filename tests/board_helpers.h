#pragma once

// Shared helpers of the board tests: independent slow references and random games.

#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "board.h"
#include "movegen.h"
#include "utils.h"

namespace testref {

inline uint64_t Bit(int sq) {
    return 1ULL << sq;
}

// Ray walk from sq in direction (df, dr) until the first piece of occ (included).
inline uint64_t Ray(int sq, int df, int dr, uint64_t occ) {
    uint64_t set = 0;
    int f = sq % 8 + df, r = sq / 8 + dr;
    while (f >= 0 && f < 8 && r >= 0 && r < 8) {
        set |= Bit(r * 8 + f);
        if (occ & Bit(r * 8 + f)) break;
        f += df;
        r += dr;
    }
    return set;
}

inline uint64_t Diagonals(int sq, uint64_t occ) {
    return Ray(sq, 1, 1, occ) | Ray(sq, 1, -1, occ) | Ray(sq, -1, 1, occ) | Ray(sq, -1, -1, occ);
}
inline uint64_t Lines(int sq, uint64_t occ) {
    return Ray(sq, 1, 0, occ) | Ray(sq, -1, 0, occ) | Ray(sq, 0, 1, occ) | Ray(sq, 0, -1, occ);
}

inline uint64_t Leaper(int sq, const int (*steps)[2], int n) {
    uint64_t set = 0;
    for (int i = 0; i < n; i++) {
        const int f = sq % 8 + steps[i][0], r = sq / 8 + steps[i][1];
        if (f >= 0 && f < 8 && r >= 0 && r < 8) set |= Bit(r * 8 + f);
    }
    return set;
}

// Squares a piece of (colour, type) on sq attacks under occ.
inline uint64_t PieceAttacks(int colour, int type, int sq, uint64_t occ) {
    static const int knight[8][2] = {{1, 2}, {2, 1}, {2, -1}, {1, -2}, {-1, -2}, {-2, -1}, {-2, 1}, {-1, 2}};
    static const int king[8][2] = {{1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}};
    static const int whitePawn[2][2] = {{-1, 1}, {1, 1}};
    static const int blackPawn[2][2] = {{-1, -1}, {1, -1}};
    switch (type) {
    case PAWN:
        return Leaper(sq, colour == WHITE ? whitePawn : blackPawn, 2);
    case KNIGHT:
        return Leaper(sq, knight, 8);
    case BISHOP:
        return Diagonals(sq, occ);
    case ROOK:
        return Lines(sq, occ);
    case QUEEN:
        return Diagonals(sq, occ) | Lines(sq, occ);
    default:
        return Leaper(sq, king, 8);
    }
}

inline int ColourOn(const Board& b, int sq) {
    return (b.colours[BLACK] & Bit(sq)) ? BLACK : WHITE;
}

// Pieces of colour 'by' that attack sq.
inline uint64_t Attackers(const Board& b, int sq, int by) {
    uint64_t result = 0;
    for (int s = 0; s < 64; s++) {
        if (b.mailbox[s] == NO_PIECE || ColourOn(b, s) != by) continue;
        if (PieceAttacks(by, b.mailbox[s], s, b.occupied) & Bit(sq)) result |= Bit(s);
    }
    return result;
}

inline int King(const Board& b, int colour) {
    for (int s = 0; s < 64; s++)
        if (b.mailbox[s] == KING && ColourOn(b, s) == colour) return s;
    return -1;
}

// The king of 'colour' is attacked in b.
inline bool InCheck(const Board& b, int colour) {
    return Attackers(b, King(b, colour), colour ^ 1) != 0;
}

// Keys of the position from scratch: [0] hash, [1] pawns, [2] non-pawns, [3] rooks, queens, kings.
struct Keys {
    uint64_t v[4] = {};
};
inline Keys ScratchKeys(const Board& b) {
    Keys k;
    for (int s = 0; s < 64; s++) {
        const int t = b.mailbox[s];
        if (t == NO_PIECE) continue;
        const uint64_t key = UTILS::zKeys[ColourOn(b, s)][t][s];
        k.v[0] ^= key;
        if (t == PAWN) k.v[1] ^= key;
        if (t != PAWN) k.v[2] ^= key;
        if (t == ROOK || t == QUEEN || t == KING) k.v[3] ^= key;
    }
    k.v[0] ^= UTILS::zCastle[b.castlingRights];
    if (b.enPassantSquare != -1) k.v[0] ^= UTILS::zEnPassant[b.enPassantSquare % 8];
    if (b.sideToMove == BLACK) k.v[0] ^= UTILS::zSide;
    return k;
}

inline std::vector<Move> LegalMoves(Board& b) {
    MOVEGEN::GenerateMoves<All>(b);
    std::vector<Move> legal;
    for (int i = 0; i < b.moveCount; i++)
        if (b.IsLegal(b.moves[i])) legal.push_back(b.moves[i]);
    return legal;
}

// FENs of an EPD suite in tests/data.
inline std::vector<std::string> SuiteFens(const std::string& name) {
    std::vector<std::string> fens;
    std::ifstream in(std::string(VESTREL_TEST_DATA_DIR) + "/" + name);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t semi = line.find(';');
        if (semi == std::string::npos) continue;
        std::string fen = line.substr(0, semi);
        while (!fen.empty() && fen.back() == ' ') fen.pop_back();
        fens.push_back(fen);
    }
    return fens;
}

inline std::vector<std::string> AllSuiteFens() {
    std::vector<std::string> fens = SuiteFens("cpw6.epd");
    for (const std::string& f : SuiteFens("standard.epd")) fens.push_back(f);
    return fens;
}

// Positions reached by random legal play (plies moves) from each FEN, every position of the
// games included. Deterministic for a given seed.
inline std::vector<Board> RandomGamePositions(const std::vector<std::string>& fens, int plies,
                                              uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<Board> out;
    for (const std::string& fen : fens) {
        Board b;
        b.SetByFen(fen);
        out.push_back(b);
        for (int p = 0; p < plies; p++) {
            std::vector<Move> legal = LegalMoves(b);
            if (legal.empty()) break;
            b.MakeMove(legal[rng() % legal.size()]);
            MOVEGEN::GenerateMoves<All>(b);
            out.push_back(b);
        }
    }
    return out;
}

} // namespace testref
