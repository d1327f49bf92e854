#include "movegen.h"

#include "board.h"
#include "utils.h"

namespace MOVEGEN {

uint64_t kingAttacks[64];
uint64_t knightAttacks[64];
uint64_t pawnAttacks[2][64];
uint64_t bishopMasks[64];
uint64_t rookMasks[64];
uint64_t bishopAttacks[64][512];
uint64_t rookAttacks[64][4096];
uint64_t betweenSquares[64][64];
uint64_t lineSquares[64][64];

const uint64_t bishopMagicNumbers[64] = {
    0x40040844404084ULL,   0x2004208a004208ULL,   0x10190041080202ULL,   0x108060845042010ULL,
    0x581104180800210ULL,  0x2112080446200010ULL, 0x1080820820060210ULL, 0x3c0808410220200ULL,
    0x4050404440404ULL,    0x21001420088ULL,      0x24d0080801082102ULL, 0x1020a0a020400ULL,
    0x40308200402ULL,      0x4011002100800ULL,    0x401484104104005ULL,  0x801010402020200ULL,
    0x400210c3880100ULL,   0x404022024108200ULL,  0x810018200204102ULL,  0x4002801a02003ULL,
    0x85040820080400ULL,   0x810102c808880400ULL, 0xe900410884800ULL,    0x8002020480840102ULL,
    0x220200865090201ULL,  0x2010100a02021202ULL, 0x152048408022401ULL,  0x20080002081110ULL,
    0x4001001021004000ULL, 0x800040400a011002ULL, 0xe4004081011002ULL,   0x1c004001012080ULL,
    0x8004200962a00220ULL, 0x8422100208500202ULL, 0x2000402200300c08ULL, 0x8646020080080080ULL,
    0x80020a0200100808ULL, 0x2010004880111000ULL, 0x623000a080011400ULL, 0x42008c0340209202ULL,
    0x209188240001000ULL,  0x400408a884001800ULL, 0x110400a6080400ULL,   0x1840060a44020800ULL,
    0x90080104000041ULL,   0x201011000808101ULL,  0x1a2208080504f080ULL, 0x8012020600211212ULL,
    0x500861011240000ULL,  0x180806108200800ULL,  0x4000020e01040044ULL, 0x300000261044000aULL,
    0x802241102020002ULL,  0x20906061210001ULL,   0x5a84841004010310ULL, 0x4010801011c04ULL,
    0xa010109502200ULL,    0x4a02012000ULL,       0x500201010098b028ULL, 0x8040002811040900ULL,
    0x28000010020204ULL,   0x6000020202d0240ULL,  0x8918844842082200ULL, 0x4010011029020020ULL,
};

const uint64_t rookMagicNumbers[64] = {
    0x8a80104000800020ULL, 0x140002000100040ULL,  0x2801880a0017001ULL,  0x100081001000420ULL,
    0x200020010080420ULL,  0x3001c0002010008ULL,  0x8480008002000100ULL, 0x2080088004402900ULL,
    0x800098204000ULL,     0x2024401000200040ULL, 0x100802000801000ULL,  0x120800800801000ULL,
    0x208808088000400ULL,  0x2802200800400ULL,    0x2200800100020080ULL, 0x801000060821100ULL,
    0x80044006422000ULL,   0x100808020004000ULL,  0x12108a0010204200ULL, 0x140848010000802ULL,
    0x481828014002800ULL,  0x8094004002004100ULL, 0x4010040010010802ULL, 0x20008806104ULL,
    0x100400080208000ULL,  0x2040002120081000ULL, 0x21200680100081ULL,   0x20100080080080ULL,
    0x2000a00200410ULL,    0x20080800400ULL,      0x80088400100102ULL,   0x80004600042881ULL,
    0x4040008040800020ULL, 0x440003000200801ULL,  0x4200011004500ULL,    0x188020010100100ULL,
    0x14800401802800ULL,   0x2080040080800200ULL, 0x124080204001001ULL,  0x200046502000484ULL,
    0x480400080088020ULL,  0x1000422010034000ULL, 0x30200100110040ULL,   0x100021010009ULL,
    0x2002080100110004ULL, 0x202008004008002ULL,  0x20020004010100ULL,   0x2048440040820001ULL,
    0x101002200408200ULL,  0x40802000401080ULL,   0x4008142004410100ULL, 0x2060820c0120200ULL,
    0x1001004080100ULL,    0x20c020080040080ULL,  0x2935610830022400ULL, 0x44440041009200ULL,
    0x280001040802101ULL,  0x2100190040002085ULL, 0x80c0084100102001ULL, 0x4024081001000421ULL,
    0x20030a0244872ULL,    0x12001008414402ULL,   0x2006104900a0804ULL,  0x1004081002402ULL,
};

// By square, a1 first.
const int bishopRelevantBits[64] = {
    6, 5, 5, 5, 5, 5, 5, 6, //
    5, 5, 5, 5, 5, 5, 5, 5, //
    5, 5, 7, 7, 7, 7, 5, 5, //
    5, 5, 7, 9, 9, 7, 5, 5, //
    5, 5, 7, 9, 9, 7, 5, 5, //
    5, 5, 7, 7, 7, 7, 5, 5, //
    5, 5, 5, 5, 5, 5, 5, 5, //
    6, 5, 5, 5, 5, 5, 5, 6, //
};

const int rookRelevantBits[64] = {
    12, 11, 11, 11, 11, 11, 11, 12, //
    11, 10, 10, 10, 10, 10, 10, 11, //
    11, 10, 10, 10, 10, 10, 10, 11, //
    11, 10, 10, 10, 10, 10, 10, 11, //
    11, 10, 10, 10, 10, 10, 10, 11, //
    11, 10, 10, 10, 10, 10, 10, 11, //
    11, 10, 10, 10, 10, 10, 10, 11, //
    12, 11, 11, 11, 11, 11, 11, 12, //
};

namespace {

constexpr uint64_t FILE_A = 0x0101010101010101ULL;
constexpr uint64_t FILE_H = FILE_A << 7;
constexpr uint64_t RANK_1 = 0xFFULL;
constexpr uint64_t RANK_8 = RANK_1 << 56;

constexpr uint64_t Bit(int sq) {
    return 1ULL << sq;
}

constexpr int bishopDirs[4][2] = {{1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
constexpr int rookDirs[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};

// Attack set along the four rays from sq, stopping at (and including) the first blocker.
uint64_t SlowSliderAttacks(int sq, uint64_t blockers, const int (*dirs)[2]) {
    uint64_t attacks = 0;
    for (int d = 0; d < 4; d++) {
        int file = sq % 8 + dirs[d][0], rank = sq / 8 + dirs[d][1];
        while (file >= 0 && file < 8 && rank >= 0 && rank < 8) {
            const int s = rank * 8 + file;
            attacks |= Bit(s);
            if (blockers & Bit(s)) break;
            file += dirs[d][0];
            rank += dirs[d][1];
        }
    }
    return attacks;
}

// The rays from sq without sq and without each ray's last square at the edge.
uint64_t SliderMask(int sq, const int (*dirs)[2]) {
    uint64_t mask = 0;
    for (int d = 0; d < 4; d++) {
        int file = sq % 8 + dirs[d][0], rank = sq / 8 + dirs[d][1];
        while (true) {
            const int nextFile = file + dirs[d][0], nextRank = rank + dirs[d][1];
            if (file < 0 || file > 7 || rank < 0 || rank > 7) break;
            if (nextFile < 0 || nextFile > 7 || nextRank < 0 || nextRank > 7) break;
            mask |= Bit(rank * 8 + file);
            file = nextFile;
            rank = nextRank;
        }
    }
    return mask;
}

uint64_t ShiftedLeaper(int sq, const int (*jumps)[2], int count) {
    uint64_t attacks = 0;
    for (int i = 0; i < count; i++) {
        const int file = sq % 8 + jumps[i][0], rank = sq / 8 + jumps[i][1];
        if (file >= 0 && file < 8 && rank >= 0 && rank < 8) attacks |= Bit(rank * 8 + file);
    }
    return attacks;
}

void InitLeapers() {
    constexpr int knightJumps[8][2] = {{1, 2},   {2, 1},   {2, -1}, {1, -2},
                                       {-1, -2}, {-2, -1}, {-2, 1}, {-1, 2}};
    constexpr int kingSteps[8][2] = {{1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}};
    constexpr int whitePawn[2][2] = {{-1, 1}, {1, 1}};
    constexpr int blackPawn[2][2] = {{-1, -1}, {1, -1}};
    for (int sq = 0; sq < 64; sq++) {
        pawnAttacks[WHITE][sq] = ShiftedLeaper(sq, whitePawn, 2);
        pawnAttacks[BLACK][sq] = ShiftedLeaper(sq, blackPawn, 2);
        knightAttacks[sq] = ShiftedLeaper(sq, knightJumps, 8);
        kingAttacks[sq] = ShiftedLeaper(sq, kingSteps, 8);
    }
}

void InitSliders() {
    for (int sq = 0; sq < 64; sq++) {
        bishopMasks[sq] = SliderMask(sq, bishopDirs);
        const uint64_t mask = bishopMasks[sq];
        uint64_t subset = 0;
        do {
            const uint64_t index = (subset * bishopMagicNumbers[sq]) >> (64 - bishopRelevantBits[sq]);
            bishopAttacks[sq][index] = SlowSliderAttacks(sq, subset, bishopDirs);
            subset = (subset - mask) & mask;
        } while (subset);
    }
    for (int sq = 0; sq < 64; sq++) {
        rookMasks[sq] = SliderMask(sq, rookDirs);
        const uint64_t mask = rookMasks[sq];
        uint64_t subset = 0;
        do {
            const uint64_t index = (subset * rookMagicNumbers[sq]) >> (64 - rookRelevantBits[sq]);
            rookAttacks[sq][index] = SlowSliderAttacks(sq, subset, rookDirs);
            subset = (subset - mask) & mask;
        } while (subset);
    }
}

void InitLines() {
    for (int a = 0; a < 64; a++) {
        for (int b = 0; b < 64; b++) {
            betweenSquares[a][b] = 0;
            lineSquares[a][b] = 0;
            if (a == b) continue;
            if (BishopAttacks(a, 0) & Bit(b)) {
                betweenSquares[a][b] = BishopAttacks(a, Bit(b)) & BishopAttacks(b, Bit(a));
                lineSquares[a][b] = (BishopAttacks(a, 0) & BishopAttacks(b, 0)) | Bit(a) | Bit(b);
            } else if (RookAttacks(a, 0) & Bit(b)) {
                betweenSquares[a][b] = RookAttacks(a, Bit(b)) & RookAttacks(b, Bit(a));
                lineSquares[a][b] = (RookAttacks(a, 0) & RookAttacks(b, 0)) | Bit(a) | Bit(b);
            }
        }
    }
}

// Appends unless the list is full, so that no generator writes past it.
inline void Add(Board& board, int& n, int from, int to, int type) {
    if (n < MAX_MOVES) [[likely]]
        board.moves[n++] = Move(from, to, type);
}

template <MovegenMode mode> void AddPieceMoves(Board& board, int& n, int from, uint64_t targets) {
    const uint64_t enemy = board.colours[board.sideToMove ^ 1];
    uint64_t captures = targets & enemy;
    while (captures) Add(board, n, from, UTILS::poplsb(captures), CAPTURE);
    if constexpr (mode == All) {
        uint64_t quiets = targets & ~board.occupied;
        while (quiets) Add(board, n, from, UTILS::poplsb(quiets), QUIET);
    }
}

} // namespace

void GenThreatMaps(Board& board) {
    for (int c = WHITE; c <= BLACK; c++) {
        const uint64_t own = board.colours[c];
        // Sliders see through the other king, so it cannot retreat along a checking line.
        const uint64_t occ = board.occupied & ~(board.pieces[KING] & board.colours[c ^ 1]);
        const uint64_t pawns = board.pieces[PAWN] & own;
        uint64_t attacks = c == WHITE ? ((pawns & ~FILE_A) << 7) | ((pawns & ~FILE_H) << 9)
                                      : ((pawns & ~FILE_A) >> 9) | ((pawns & ~FILE_H) >> 7);
        uint64_t knights = board.pieces[KNIGHT] & own;
        while (knights) attacks |= knightAttacks[UTILS::poplsb(knights)];
        uint64_t diagonals = (board.pieces[BISHOP] | board.pieces[QUEEN]) & own;
        while (diagonals) attacks |= BishopAttacks(UTILS::poplsb(diagonals), occ);
        uint64_t orthogonals = (board.pieces[ROOK] | board.pieces[QUEEN]) & own;
        while (orthogonals) attacks |= RookAttacks(UTILS::poplsb(orthogonals), occ);
        const uint64_t king = board.pieces[KING] & own;
        if (king) attacks |= kingAttacks[UTILS::lsb(king)];
        board.threats[c] = attacks;
    }
}

template <MovegenMode mode> void GenPawnMoves(Board& board) {
    const int us = board.sideToMove;
    const uint64_t enemy = board.colours[us ^ 1];
    const uint64_t empty = ~board.occupied;
    const int forward = us == WHITE ? 8 : -8;
    const uint64_t startRank = us == WHITE ? RANK_1 << 8 : RANK_8 >> 8;
    const uint64_t lastRank = us == WHITE ? RANK_8 : RANK_1;
    const int ep = board.enPassantSquare;
    int n = board.moveCount;

    uint64_t pawns = board.pieces[PAWN] & board.colours[us];
    while (pawns) {
        const int from = UTILS::poplsb(pawns);
        const int single = from + forward;
        const bool singleFree = empty & Bit(single);
        const bool doubleFree = singleFree && (startRank & Bit(from)) && (empty & Bit(single + forward));

        if (ep != -1 && (pawnAttacks[us][from] & Bit(ep))) Add(board, n, from, ep, EP_CAPTURE);

        uint64_t captures = pawnAttacks[us][from] & enemy;
        while (captures) {
            const int to = UTILS::poplsb(captures);
            if (lastRank & Bit(to)) {
                for (int type = KNIGHT_PROMO_CAPTURE; type <= QUEEN_PROMO_CAPTURE; type++)
                    Add(board, n, from, to, type);
            } else {
                Add(board, n, from, to, CAPTURE);
            }
        }

        if (singleFree && (lastRank & Bit(single))) {
            for (int type = KNIGHT_PROMOTION; type <= QUEEN_PROMOTION; type++)
                Add(board, n, from, single, type);
        } else if constexpr (mode == All) {
            // Ascending target order: White lists the single push first, Black the double push.
            if (us == WHITE) {
                if (singleFree) Add(board, n, from, single, QUIET);
                if (doubleFree) Add(board, n, from, single + forward, DOUBLE_PAWN_PUSH);
            } else {
                if (doubleFree) Add(board, n, from, single + forward, DOUBLE_PAWN_PUSH);
                if (singleFree) Add(board, n, from, single, QUIET);
            }
        }
    }
    board.moveCount = n;
}

template <MovegenMode mode> void GenKnightMoves(Board& board) {
    const uint64_t own = board.colours[board.sideToMove];
    int n = board.moveCount;
    uint64_t knights = board.pieces[KNIGHT] & own;
    while (knights) {
        const int from = UTILS::poplsb(knights);
        AddPieceMoves<mode>(board, n, from, knightAttacks[from] & ~own);
    }
    board.moveCount = n;
}

template <MovegenMode mode> void GenKingMoves(Board& board) {
    const int us = board.sideToMove;
    const uint64_t own = board.colours[us];
    const uint64_t kingBB = board.pieces[KING] & own;
    if (!kingBB) return;
    int n = board.moveCount;
    const int king = UTILS::lsb(kingBB);
    AddPieceMoves<mode>(board, n, king, kingAttacks[king] & ~own);

    if constexpr (mode == All) {
        const uint64_t attacked = board.threats[us ^ 1];
        const int base = us == WHITE ? 0 : 56;
        const uint8_t queenSide = us == WHITE ? WHITE_QUEEN_SIDE : BLACK_QUEEN_SIDE;
        const uint8_t kingSide = us == WHITE ? WHITE_KING_SIDE : BLACK_KING_SIDE;
        // A held right means king and rook are home, so two pieces on the segment leave the
        // squares between them empty.
        if ((board.castlingRights & queenSide) && UTILS::popcount(board.occupied & (0x1FULL << base)) == 2 &&
            !(attacked & (0x1CULL << base)))
            Add(board, n, king, base + 2, QUEEN_CASTLE);
        if ((board.castlingRights & kingSide) && UTILS::popcount(board.occupied & (0xF0ULL << base)) == 2 &&
            !(attacked & (0x70ULL << base)))
            Add(board, n, king, base + 6, KING_CASTLE);
    }
    board.moveCount = n;
}

template <MovegenMode mode> void GenBishopMoves(Board& board) {
    const uint64_t own = board.colours[board.sideToMove];
    int n = board.moveCount;
    uint64_t bishops = board.pieces[BISHOP] & own;
    while (bishops) {
        const int from = UTILS::poplsb(bishops);
        AddPieceMoves<mode>(board, n, from, BishopAttacks(from, board.occupied) & ~own);
    }
    board.moveCount = n;
}

template <MovegenMode mode> void GenRookMoves(Board& board) {
    const uint64_t own = board.colours[board.sideToMove];
    int n = board.moveCount;
    uint64_t rooks = board.pieces[ROOK] & own;
    while (rooks) {
        const int from = UTILS::poplsb(rooks);
        AddPieceMoves<mode>(board, n, from, RookAttacks(from, board.occupied) & ~own);
    }
    board.moveCount = n;
}

template <MovegenMode mode> void GenQueenMoves(Board& board) {
    const uint64_t own = board.colours[board.sideToMove];
    int n = board.moveCount;
    uint64_t queens = board.pieces[QUEEN] & own;
    while (queens) {
        const int from = UTILS::poplsb(queens);
        AddPieceMoves<mode>(board, n, from, QueenAttacks(from, board.occupied) & ~own);
    }
    board.moveCount = n;
}

template <MovegenMode mode> void GenerateMoves(Board& board) {
    board.threats[WHITE] = 0;
    board.threats[BLACK] = 0;
    GenThreatMaps(board);
    GeneratePieceMoves<mode>(board);
}

template <MovegenMode mode> void GeneratePieceMoves(Board& board) {
    board.moveCount = 0;
    GenPawnMoves<mode>(board);
    GenKnightMoves<mode>(board);
    GenKingMoves<mode>(board);
    GenBishopMoves<mode>(board);
    GenRookMoves<mode>(board);
    GenQueenMoves<mode>(board);
}

int CountMoves(const Board& board) {
    const int us = board.sideToMove;
    const uint64_t own = board.colours[us];
    const uint64_t enemy = board.colours[us ^ 1];
    const uint64_t empty = ~board.occupied;
    const int forward = us == WHITE ? 8 : -8;
    const uint64_t startRank = us == WHITE ? RANK_1 << 8 : RANK_8 >> 8;
    const uint64_t lastRank = us == WHITE ? RANK_8 : RANK_1;
    int count = 0;

    uint64_t pawns = board.pieces[PAWN] & own;
    while (pawns) {
        const int from = UTILS::poplsb(pawns);
        const int single = from + forward;
        const uint64_t captures = pawnAttacks[us][from] & enemy;
        const int perTarget = (lastRank & Bit(single)) ? 4 : 1;
        count += perTarget * UTILS::popcount(captures);
        if (board.enPassantSquare != -1 && (pawnAttacks[us][from] & Bit(board.enPassantSquare))) count++;
        if (empty & Bit(single)) {
            count += perTarget;
            if ((startRank & Bit(from)) && (empty & Bit(single + forward))) count++;
        }
    }
    uint64_t knights = board.pieces[KNIGHT] & own;
    while (knights) count += UTILS::popcount(knightAttacks[UTILS::poplsb(knights)] & ~own);
    uint64_t bishops = board.pieces[BISHOP] & own;
    while (bishops) count += UTILS::popcount(BishopAttacks(UTILS::poplsb(bishops), board.occupied) & ~own);
    uint64_t rooks = board.pieces[ROOK] & own;
    while (rooks) count += UTILS::popcount(RookAttacks(UTILS::poplsb(rooks), board.occupied) & ~own);
    uint64_t queens = board.pieces[QUEEN] & own;
    while (queens) count += UTILS::popcount(QueenAttacks(UTILS::poplsb(queens), board.occupied) & ~own);

    const uint64_t kingBB = board.pieces[KING] & own;
    if (kingBB) {
        const int king = UTILS::lsb(kingBB);
        count += UTILS::popcount(kingAttacks[king] & ~own);
        const uint64_t attacked = board.threats[us ^ 1];
        const int base = us == WHITE ? 0 : 56;
        const uint8_t queenSide = us == WHITE ? WHITE_QUEEN_SIDE : BLACK_QUEEN_SIDE;
        const uint8_t kingSide = us == WHITE ? WHITE_KING_SIDE : BLACK_KING_SIDE;
        if ((board.castlingRights & queenSide) && UTILS::popcount(board.occupied & (0x1FULL << base)) == 2 &&
            !(attacked & (0x1CULL << base)))
            count++;
        if ((board.castlingRights & kingSide) && UTILS::popcount(board.occupied & (0xF0ULL << base)) == 2 &&
            !(attacked & (0x70ULL << base)))
            count++;
    }
    return count;
}

#define VESTREL_INSTANTIATE_MOVEGEN(mode)                                                                    \
    template void GenPawnMoves<mode>(Board&);                                                                \
    template void GenKnightMoves<mode>(Board&);                                                              \
    template void GenKingMoves<mode>(Board&);                                                                \
    template void GenBishopMoves<mode>(Board&);                                                              \
    template void GenRookMoves<mode>(Board&);                                                                \
    template void GenQueenMoves<mode>(Board&);                                                               \
    template void GenerateMoves<mode>(Board&);                                                               \
    template void GeneratePieceMoves<mode>(Board&);
VESTREL_INSTANTIATE_MOVEGEN(Noisy)
VESTREL_INSTANTIATE_MOVEGEN(All)
#undef VESTREL_INSTANTIATE_MOVEGEN

} // namespace MOVEGEN

void InitAttackTables() {
    MOVEGEN::InitLeapers();
    MOVEGEN::InitSliders();
    MOVEGEN::InitLines();
}
