#include "board.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <immintrin.h>
#include <sstream>

#include "movegen.h"
#include "platform.h"
#include "utils.h"

const char* const squareCoords[64] = {
    "a1", "b1", "c1", "d1", "e1", "f1", "g1", "h1", "a2", "b2", "c2", "d2", "e2", "f2", "g2", "h2",
    "a3", "b3", "c3", "d3", "e3", "f3", "g3", "h3", "a4", "b4", "c4", "d4", "e4", "f4", "g4", "h4",
    "a5", "b5", "c5", "d5", "e5", "f5", "g5", "h5", "a6", "b6", "c6", "d6", "e6", "f6", "g6", "h6",
    "a7", "b7", "c7", "d7", "e7", "f7", "g7", "h7", "a8", "b8", "c8", "d8", "e8", "f8", "g8", "h8",
};

const std::string_view moveTypes[14] = {
    "quiet",
    "doublePawnPush",
    "kingCastle",
    "QueenCastle",
    "capture",
    "epCapture",
    "knightPromotion",
    "bishopPromotion",
    "rookPromotion",
    "queenPromotion",
    "knightPromoCapture",
    "bishopPromoCapture",
    "rookPromoCapture",
    "queenPromoCapture",
};

namespace {

constexpr uint64_t Bit(int sq) {
    return 1ULL << sq;
}

constexpr int A1 = 0, D1 = 3, E1 = 4, F1 = 5, H1 = 7;
constexpr int A8 = 56, D8 = 59, E8 = 60, F8 = 61, H8 = 63;

// Rights that survive a move touching a square (as origin or destination): a king or rook
// leaving home, or a rook captured at home, clears them.
constexpr auto castlingMask = [] {
    struct Table {
        uint8_t v[64];
    } t{};
    for (int sq = 0; sq < 64; sq++) t.v[sq] = 15;
    t.v[A1] = 15 & ~WHITE_QUEEN_SIDE;
    t.v[H1] = 15 & ~WHITE_KING_SIDE;
    t.v[E1] = 15 & ~(WHITE_KING_SIDE | WHITE_QUEEN_SIDE);
    t.v[A8] = 15 & ~BLACK_QUEEN_SIDE;
    t.v[H8] = 15 & ~BLACK_KING_SIDE;
    t.v[E8] = 15 & ~(BLACK_KING_SIDE | BLACK_QUEEN_SIDE);
    return t;
}();

constexpr uint64_t RANK_1 = 0xFFULL;
constexpr uint64_t RANK_8 = RANK_1 << 56;

// Pieces of colour 'by' attacking sq under occ.
uint64_t AttackersOf(const Board& b, int sq, int by, uint64_t occ) {
    const uint64_t them = b.colours[by];
    const uint64_t diagonal = (b.pieces[BISHOP] | b.pieces[QUEEN]) & them;
    const uint64_t orthogonal = (b.pieces[ROOK] | b.pieces[QUEEN]) & them;
    return (MOVEGEN::pawnAttacks[by ^ 1][sq] & b.pieces[PAWN] & them) |
           (MOVEGEN::knightAttacks[sq] & b.pieces[KNIGHT] & them) |
           (MOVEGEN::kingAttacks[sq] & b.pieces[KING] & them) | (MOVEGEN::BishopAttacks(sq, occ) & diagonal) |
           (MOVEGEN::RookAttacks(sq, occ) & orthogonal);
}

// King bucket of colour's king; bucket 0 when that king is missing, so no table is overrun.
int KingBucket(const Board& b, int colour) {
    const uint64_t king = b.pieces[KING] & b.colours[colour];
    return king ? NNUE::kingBuckets[colour][UTILS::lsb(king)] : 0;
}

// Enemy pieces attacking the king of the side to move; 0 when that king is missing.
uint64_t Checkers(const Board& b) {
    const uint64_t king = b.pieces[KING] & b.colours[b.sideToMove];
    return king ? AttackersOf(b, UTILS::lsb(king), b.sideToMove ^ 1, b.occupied) : 0;
}

} // namespace

std::string Move::ToString() const {
    std::string text = squareCoords[from()];
    text += squareCoords[to()];
    if (IsPromotion()) text += "nbrq"[PromotionPiece() - 1];
    return text;
}

void Move::PrintMove() const {
    PLATFORM::WriteText(ToString());
}

// Lifting and putting a piece keep bitboards, mailbox and all four keys in step.
#define VESTREL_TOGGLE_PIECE(colour, type, sq)                                                               \
    do {                                                                                                     \
        const uint64_t bit_ = Bit(sq);                                                                       \
        pieces[type] ^= bit_;                                                                                \
        colours[colour] ^= bit_;                                                                             \
        occupied ^= bit_;                                                                                    \
        const uint64_t key_ = UTILS::zKeys[colour][type][sq];                                                \
        hashKey ^= key_;                                                                                     \
        if ((type) == PAWN) {                                                                                \
            pawnKey ^= key_;                                                                                 \
        } else {                                                                                             \
            nonPawnKey ^= key_;                                                                              \
            if ((type) >= ROOK) majorKey ^= key_;                                                            \
        }                                                                                                    \
    } while (0)

void Board::SetByFen(std::string_view fen) {
    enPassantSquare = -1;
    halfMoveClock = 0;
    fullMoveNumber = 1;
    sideToMove = WHITE;
    castlingRights = 0;
    historyIndex = 0;
    for (int32_t& sq : mailbox) sq = NO_PIECE;
    std::memset(pieces, 0, sizeof(pieces));
    std::memset(colours, 0, sizeof(colours));
    occupied = 0;
    std::memset(pinned, 0, sizeof(pinned));
    checkers = 0;
    std::memset(threats, 0, sizeof(threats));
    std::fill(std::begin(moves), std::end(moves), Move());
    moveCount = 0;
    hashKey = pawnKey = nonPawnKey = majorKey = 0;
    std::memset(checkSquares, 0, sizeof(checkSquares));
    std::memset(static_cast<void*>(&accPair), 0, sizeof(accPair));

    const std::vector<std::string> fields = UTILS::split(fen, ' ');
    if (!fields.empty()) {
        constexpr std::string_view pieceChars = "pnbrqk";
        int sq = 56;
        for (const std::string& rank : UTILS::split(fields[0], '/')) {
            for (const char c : rank) {
                if (c >= '1' && c <= '8') {
                    sq += c - '0';
                    continue;
                }
                const char lower = char(c | 0x20);
                const std::size_t type = pieceChars.find(lower);
                // Unknown letters and squares off the board are skipped rather than written.
                if (type != std::string_view::npos && sq >= 0 && sq < 64) {
                    const int colour = c == lower ? BLACK : WHITE;
                    pieces[type] |= Bit(sq);
                    colours[colour] |= Bit(sq);
                    mailbox[sq] = int32_t(type);
                }
                sq++;
            }
            sq -= 16;
        }
    }
    if (fields.size() > 1 && fields[1].size() == 1 && fields[1][0] == 'b') sideToMove = BLACK;
    if (fields.size() > 2) {
        for (const char c : fields[2]) {
            if (c == 'K') castlingRights |= WHITE_KING_SIDE;
            if (c == 'Q') castlingRights |= WHITE_QUEEN_SIDE;
            if (c == 'k') castlingRights |= BLACK_KING_SIDE;
            if (c == 'q') castlingRights |= BLACK_QUEEN_SIDE;
        }
        // A right needs its king and rook at home; castling is generated from the right alone.
        const auto home = [&](int colour, int type, int sq) {
            return (pieces[type] & colours[colour] & Bit(sq)) != 0;
        };
        if (!home(WHITE, KING, E1)) castlingRights &= ~(WHITE_KING_SIDE | WHITE_QUEEN_SIDE);
        if (!home(WHITE, ROOK, H1)) castlingRights &= ~WHITE_KING_SIDE;
        if (!home(WHITE, ROOK, A1)) castlingRights &= ~WHITE_QUEEN_SIDE;
        if (!home(BLACK, KING, E8)) castlingRights &= ~(BLACK_KING_SIDE | BLACK_QUEEN_SIDE);
        if (!home(BLACK, ROOK, H8)) castlingRights &= ~BLACK_KING_SIDE;
        if (!home(BLACK, ROOK, A8)) castlingRights &= ~BLACK_QUEEN_SIDE;
    }
    if (fields.size() > 3 && fields[3] != "-" && fields[3].size() >= 2) {
        const int file = fields[3][0] - 'a', rank = fields[3][1] - '1';
        if (file >= 0 && file < 8 && rank >= 0 && rank < 8) enPassantSquare = rank * 8 + file;
    }
    if (fields.size() > 4)
        std::from_chars(fields[4].data(), fields[4].data() + fields[4].size(), halfMoveClock);
    if (fields.size() > 5)
        std::from_chars(fields[5].data(), fields[5].data() + fields[5].size(), fullMoveNumber);

    occupied = colours[WHITE] | colours[BLACK];
    for (int sq = 0; sq < 64; sq++) {
        if (mailbox[sq] == NO_PIECE) continue;
        hashKey ^= UTILS::zKeys[(colours[BLACK] >> sq) & 1][mailbox[sq]][sq];
    }
    hashKey ^= UTILS::zCastle[castlingRights];
    if (enPassantSquare != -1) hashKey ^= UTILS::zEnPassant[enPassantSquare % 8];
    if (sideToMove == BLACK) hashKey ^= UTILS::zSide;

    checkers = Checkers(*this);
    pinned[WHITE] = CalcPinned(WHITE);
    pinned[BLACK] = CalcPinned(BLACK);
    MOVEGEN::GenerateMoves<All>(*this);

    const uint64_t whiteKing = pieces[KING] & colours[WHITE];
    const uint64_t blackKing = pieces[KING] & colours[BLACK];
    accPair.whiteMirrored = whiteKing && (UTILS::lsb(whiteKing) & 4);
    accPair.blackMirrored = blackKing && (UTILS::lsb(blackKing) & 4);
    ResetAccPair();
}

std::string Board::GetFen() const {
    constexpr char pieceChars[] = "pnbrqk";
    std::string fen;
    for (int rank = 7; rank >= 0; rank--) {
        int empty = 0;
        for (int file = 0; file < 8; file++) {
            const int sq = rank * 8 + file;
            if (mailbox[sq] == NO_PIECE) {
                empty++;
                continue;
            }
            if (empty) fen += char('0' + empty);
            empty = 0;
            const char c = pieceChars[mailbox[sq]];
            fen += (colours[WHITE] & Bit(sq)) ? char(c - 'a' + 'A') : c;
        }
        if (empty) fen += char('0' + empty);
        if (rank) fen += '/';
    }
    fen += sideToMove == WHITE ? " w " : " b ";
    if (castlingRights & WHITE_KING_SIDE) fen += 'K';
    if (castlingRights & WHITE_QUEEN_SIDE) fen += 'Q';
    if (castlingRights & BLACK_KING_SIDE) fen += 'k';
    if (castlingRights & BLACK_QUEEN_SIDE) fen += 'q';
    if (!castlingRights) fen += '-';
    fen += ' ';
    fen += enPassantSquare == -1 ? "-" : squareCoords[enPassantSquare];
    fen += ' ';
    fen += std::to_string(halfMoveClock);
    fen += ' ';
    fen += std::to_string(fullMoveNumber);
    return fen;
}

void Board::MakeMove(Move m) {
    MakeMove(m, accPair);
}

void Board::MakeMoveFrom(const Board& parent, Move m) {
    if (m.IsNull()) {
        *this = parent;
        MakeMove(m);
        return;
    }
    // Everything but the two arrays, which the accumulator step writes from the parent's.
    static_assert(sizeof(Board) % 32 == 0 && offsetof(Board, accPair) % 32 == 0);
    constexpr std::size_t ARRAYS_BEGIN = offsetof(Board, accPair) / 32;
    constexpr std::size_t ARRAYS_END = ARRAYS_BEGIN + sizeof(accPair.white) * 2 / 32;
    static_assert(offsetof(ACC::AccumulatorPair, whiteMirrored) == sizeof(accPair.white) * 2);
    auto* d = reinterpret_cast<__m256i*>(this);
    const auto* p = reinterpret_cast<const __m256i*>(&parent);
    for (std::size_t i = 0; i < ARRAYS_BEGIN; i++) _mm256_store_si256(d + i, _mm256_load_si256(p + i));
    for (std::size_t i = ARRAYS_END; i < sizeof(Board) / 32; i++)
        _mm256_store_si256(d + i, _mm256_load_si256(p + i));
    MakeMove(m, parent.accPair);
}

void Board::MakeMove(Move m, const ACC::AccumulatorPair& source) {
    if (m.IsNull()) {
        sideToMove ^= 1;
        hashKey ^= UTILS::zSide;
        if (enPassantSquare != -1) {
            hashKey ^= UTILS::zEnPassant[enPassantSquare % 8];
            enPassantSquare = -1;
        }
        return;
    }

    const int from = m.from(), to = m.to(), type = m.type();
    const int us = sideToMove, them = us ^ 1;
    const int piece = mailbox[from];
    const int captured = mailbox[to];
    const ACC::BucketPair buckets{KingBucket(*this, WHITE), KingBucket(*this, BLACK)};

    VESTREL_TOGGLE_PIECE(us, piece, from);
    mailbox[from] = NO_PIECE;

    // A king that changes bucket or mirror side needs every row anew.
    bool refresh = false;
    if (piece == KING) {
        bool& mirrored = us == WHITE ? accPair.whiteMirrored : accPair.blackMirrored;
        const bool mirroredNow = (to >> 2) & 1;
        refresh = mirrored != mirroredNow || NNUE::kingBuckets[us][from] != NNUE::kingBuckets[us][to];
        mirrored = mirroredNow;
    }

    if (type >= KNIGHT_PROMOTION) {
        if (type >= KNIGHT_PROMO_CAPTURE) VESTREL_TOGGLE_PIECE(them, captured, to);
        const int promoted = m.PromotionPiece();
        VESTREL_TOGGLE_PIECE(us, promoted, to);
        mailbox[to] = promoted;
        if (type >= KNIGHT_PROMO_CAPTURE)
            accPair.addSubSub(source, us, to, promoted, from, PAWN, to, captured, buckets);
        else
            accPair.addSub(source, us, to, promoted, from, PAWN, buckets);
    } else {
        switch (type) {
        case KING_CASTLE: {
            const int rookFrom = us == WHITE ? H1 : H8, rookTo = us == WHITE ? F1 : F8;
            VESTREL_TOGGLE_PIECE(us, ROOK, rookFrom);
            VESTREL_TOGGLE_PIECE(us, ROOK, rookTo);
            mailbox[rookFrom] = NO_PIECE;
            mailbox[rookTo] = ROOK;
            break;
        }
        case QUEEN_CASTLE: {
            const int rookFrom = us == WHITE ? A1 : A8, rookTo = us == WHITE ? D1 : D8;
            VESTREL_TOGGLE_PIECE(us, ROOK, rookFrom);
            VESTREL_TOGGLE_PIECE(us, ROOK, rookTo);
            mailbox[rookFrom] = NO_PIECE;
            mailbox[rookTo] = ROOK;
            break;
        }
        case CAPTURE:
            VESTREL_TOGGLE_PIECE(them, captured, to);
            break;
        case EP_CAPTURE: {
            const int victim = us == WHITE ? to - 8 : to + 8;
            VESTREL_TOGGLE_PIECE(them, PAWN, victim);
            mailbox[victim] = NO_PIECE;
            break;
        }
        default:
            break;
        }
        VESTREL_TOGGLE_PIECE(us, piece, to);
        mailbox[to] = piece;

        switch (type) {
        case KING_CASTLE:
        case QUEEN_CASTLE: {
            const bool kingSide = type == KING_CASTLE;
            const int rookFrom = us == WHITE ? (kingSide ? H1 : A1) : (kingSide ? H8 : A8);
            const int rookTo = us == WHITE ? (kingSide ? F1 : D1) : (kingSide ? F8 : D8);
            accPair.addAddSubSub(source, us, to, KING, rookTo, ROOK, from, KING, rookFrom, ROOK, buckets);
            break;
        }
        case CAPTURE:
            accPair.addSubSub(source, us, to, piece, from, piece, to, captured, buckets);
            break;
        case EP_CAPTURE:
            accPair.addSubSub(source, us, to, PAWN, from, PAWN, us == WHITE ? to - 8 : to + 8, PAWN, buckets);
            break;
        default:
            accPair.addSub(source, us, to, piece, from, piece, buckets);
            break;
        }
        // Only the mover's king changed bucket or side, so only its perspective needs every row
        // anew; the update above is right for the other one. Same values as a full rebuild.
        if (refresh) ResetAccumulator(us);
    }

    const uint8_t oldRights = castlingRights;
    castlingRights &= castlingMask.v[from] & castlingMask.v[to];
    hashKey ^= UTILS::zCastle[oldRights] ^ UTILS::zCastle[castlingRights];

    sideToMove = uint8_t(them);
    hashKey ^= UTILS::zSide;

    if (enPassantSquare != -1) hashKey ^= UTILS::zEnPassant[enPassantSquare % 8];
    if (type == DOUBLE_PAWN_PUSH) {
        enPassantSquare = us == WHITE ? from + 8 : from - 8;
        hashKey ^= UTILS::zEnPassant[enPassantSquare % 8];
    } else {
        enPassantSquare = -1;
    }

    MOVEGEN::GenThreatMaps(*this);
    pinned[WHITE] = CalcPinned(WHITE);
    pinned[BLACK] = CalcPinned(BLACK);
    checkers = Checkers(*this);

    // Squares from which the new side to move would attack the king of the side that moved.
    const int enemyKing = KingSquare(us);
    checkSquares[0] = MOVEGEN::pawnAttacks[us][enemyKing];
    checkSquares[1] = MOVEGEN::knightAttacks[enemyKing];
    checkSquares[2] = MOVEGEN::BishopAttacks(enemyKing, occupied);
    checkSquares[3] = MOVEGEN::RookAttacks(enemyKing, occupied);

    if (us == BLACK) fullMoveNumber++;
    if (piece == PAWN || m.IsCapture())
        halfMoveClock = 0;
    else
        halfMoveClock++;
    historyIndex++;
}

#undef VESTREL_TOGGLE_PIECE

uint64_t Board::CalcPinned(bool colour) const {
    const uint64_t own = colours[colour];
    const uint64_t enemy = colours[!colour];
    const uint64_t kingBB = pieces[KING] & own;
    const int kingSquare = kingBB ? UTILS::lsb(kingBB) : -1;
    assert(kingSquare != -1);
    if (kingSquare == -1) return 0;

    // Own pieces are transparent, enemy pieces block.
    uint64_t candidates =
        (MOVEGEN::BishopAttacks(kingSquare, enemy) & (pieces[BISHOP] | pieces[QUEEN]) & enemy) |
        (MOVEGEN::RookAttacks(kingSquare, enemy) & (pieces[ROOK] | pieces[QUEEN]) & enemy);
    uint64_t result = 0;
    while (candidates) {
        const uint64_t between = MOVEGEN::betweenSquares[kingSquare][UTILS::poplsb(candidates)] & own;
        if (between && !(between & (between - 1))) result |= between;
    }
    return result;
}

bool Board::IsLegal(Move m) const {
    [[maybe_unused]] const uint16_t move = m.data;
    assert(move != 0);
    const int from = m.from(), to = m.to();
    const int us = sideToMove, them = us ^ 1;
    const int king = KingSquare(us);
    const uint64_t diagonal = (pieces[BISHOP] | pieces[QUEEN]) & colours[them];
    const uint64_t orthogonal = (pieces[ROOK] | pieces[QUEEN]) & colours[them];

    if (m.type() == EP_CAPTURE) {
        const int victim = us == WHITE ? to - 8 : to + 8;
        const uint64_t occ = (occupied ^ Bit(from) ^ Bit(to)) & ~Bit(victim);
        return !(MOVEGEN::BishopAttacks(king, occ) & diagonal) &&
               !(MOVEGEN::RookAttacks(king, occ) & orthogonal);
    }

    if (from == king) {
        if (threats[them] & Bit(to)) return false;
        const uint64_t occ = occupied & ~Bit(king);
        return !(MOVEGEN::BishopAttacks(to, occ) & diagonal) && !(MOVEGEN::RookAttacks(to, occ) & orthogonal);
    }

    if (checkers & (checkers - 1)) return false;
    if ((pinned[us] & Bit(from)) && !(MOVEGEN::lineSquares[king][from] & Bit(to))) return false;
    if (!checkers) return true;
    const int checker = UTILS::lsb(checkers);
    return to == checker || (MOVEGEN::betweenSquares[king][checker] & Bit(to));
}

bool Board::IsPseudoLegal(Move m) const {
    if (m.IsNull()) return true;
    const int from = m.from(), to = m.to(), type = m.type();
    const int us = sideToMove, them = us ^ 1;
    if (type > QUEEN_PROMO_CAPTURE) return false;
    if (mailbox[from] == NO_PIECE || !(colours[us] & Bit(from)) || (colours[us] & Bit(to))) return false;
    const bool enemyOnTarget = colours[them] & Bit(to);
    const bool targetEmpty = !(occupied & Bit(to));
    if ((type == CAPTURE || type >= KNIGHT_PROMO_CAPTURE) && !enemyOnTarget) return false;
    if ((type == QUIET || type == DOUBLE_PAWN_PUSH ||
         (type >= KNIGHT_PROMOTION && type <= QUEEN_PROMOTION)) &&
        !targetEmpty)
        return false;

    const int piece = mailbox[from];
    const int forward = us == WHITE ? 8 : -8;
    const bool forwardDiagonal = MOVEGEN::pawnAttacks[us][from] & Bit(to);
    const bool lastRank = (us == WHITE ? RANK_8 : RANK_1) & Bit(to);

    switch (type) {
    case DOUBLE_PAWN_PUSH: {
        const int startRank = us == WHITE ? 1 : 6;
        return piece == PAWN && from / 8 == startRank && to == from + 2 * forward &&
               !(occupied & Bit(from + forward));
    }
    case KING_CASTLE:
    case QUEEN_CASTLE: {
        const int base = us == WHITE ? 0 : 56;
        if (piece != KING || from != base + 4) return false;
        if (type == KING_CASTLE) {
            return (castlingRights & (us == WHITE ? WHITE_KING_SIDE : BLACK_KING_SIDE)) && to == base + 6 &&
                   UTILS::popcount(occupied & (0xF0ULL << base)) == 2 && !(threats[them] & (0x70ULL << base));
        }
        return (castlingRights & (us == WHITE ? WHITE_QUEEN_SIDE : BLACK_QUEEN_SIDE)) && to == base + 2 &&
               UTILS::popcount(occupied & (0x1FULL << base)) == 2 && !(threats[them] & (0x1CULL << base));
    }
    case EP_CAPTURE: {
        if (piece != PAWN || enPassantSquare == -1 || enPassantSquare != to || !forwardDiagonal) return false;
        const int victim = to - forward;
        return (pieces[PAWN] & colours[them] & Bit(victim)) && targetEmpty;
    }
    case QUIET:
    case CAPTURE:
        switch (piece) {
        case PAWN:
            if (lastRank) return false;
            return type == CAPTURE ? forwardDiagonal : to == from + forward;
        case KNIGHT:
            return MOVEGEN::knightAttacks[from] & Bit(to);
        case KING:
            return MOVEGEN::kingAttacks[from] & Bit(to);
        case BISHOP:
            return MOVEGEN::BishopAttacks(from, occupied) & Bit(to);
        case ROOK:
            return MOVEGEN::RookAttacks(from, occupied) & Bit(to);
        case QUEEN:
            return MOVEGEN::QueenAttacks(from, occupied) & Bit(to);
        default:
            return false;
        }
    default: // promotions
        if (piece != PAWN || !lastRank) return false;
        return type <= QUEEN_PROMOTION ? to == from + forward : forwardDiagonal;
    }
}

bool Board::GivesDirectCheck(Move m) const {
    const int piece = m.IsPromotion() ? m.PromotionPiece() : mailbox[m.from()];
    const uint64_t target = Bit(m.to());
    switch (piece) {
    case KING:
        return false;
    case QUEEN:
        return (checkSquares[2] | checkSquares[3]) & target;
    case PAWN:
    case KNIGHT:
    case BISHOP:
    case ROOK:
        return checkSquares[piece] & target;
    default:
        return false;
    }
}

bool Board::InPossibleZug() const {
    return !((pieces[KNIGHT] | pieces[BISHOP] | pieces[ROOK] | pieces[QUEEN]) & colours[sideToMove]);
}

std::string ValidateFen(std::string_view fen) {
    const std::vector<std::string> fields = UTILS::split(fen, ' ');
    if (fields.size() < 4) return "a FEN needs at least four fields";
    if (fields.size() > 6) return "a FEN has at most six fields";

    const std::vector<std::string> ranks = UTILS::split(fields[0], '/');
    if (ranks.size() != 8 || std::count(fields[0].begin(), fields[0].end(), '/') != 7)
        return "the placement needs exactly 8 ranks";
    int counts[2][6] = {};
    uint64_t backRankPawns = 0;
    for (int r = 0; r < 8; r++) {
        int file = 0;
        for (const char c : ranks[r]) {
            if (c >= '1' && c <= '8') {
                file += c - '0';
            } else {
                const char* letter = c ? std::strchr(PIECE_LETTERS, c) : nullptr;
                if (!letter) return std::string("unknown piece letter '") + c + "'";
                const int index = int(letter - PIECE_LETTERS);
                if (file < 8) counts[index % 2][index / 2]++;
                if (index / 2 == PAWN && (r == 0 || r == 7)) backRankPawns++;
                file++;
            }
        }
        if (file != 8) return "rank " + std::to_string(8 - r) + " does not hold exactly 8 squares";
    }
    for (int c = WHITE; c <= BLACK; c++) {
        const char* name = c == WHITE ? "White" : "Black";
        if (counts[c][KING] != 1) return std::string(name) + " needs exactly one king";
        if (counts[c][PAWN] > 8) return std::string(name) + " has more than 8 pawns";
        int total = 0;
        for (int t = PAWN; t <= KING; t++) total += counts[c][t];
        if (total > 16) return std::string(name) + " has more than 16 pieces";
    }
    if (backRankPawns) return "a pawn stands on the first or last rank";

    if (fields[1] != "w" && fields[1] != "b") return "the side to move must be w or b";
    const bool blackToMove = fields[1] == "b";
    if (fields[2] != "-" && fields[2].find_first_not_of("KQkq") != std::string::npos)
        return "castling must be - or letters from KQkq";

    const std::string& ep = fields[3];
    if (ep != "-") {
        if (ep.size() != 2 || ep[0] < 'a' || ep[0] > 'h' || ep[1] != (blackToMove ? '3' : '6'))
            return std::string("en passant must be - or a square on rank ") + (blackToMove ? "3" : "6");
    }
    // The bound leaves the clocks room to count on through any game without overflowing.
    constexpr int CLOCK_LIMIT = 1000000000;
    for (std::size_t i = 4; i < fields.size(); i++) {
        const std::string& clock = fields[i];
        int value = 0;
        const auto [end, error] = std::from_chars(clock.data(), clock.data() + clock.size(), value);
        if (clock.empty() || clock[0] == '-' || error != std::errc() || end != clock.data() + clock.size() ||
            value > CLOCK_LIMIT)
            return "clocks must be whole numbers from 0 to " + std::to_string(CLOCK_LIMIT);
    }

    Board board;
    board.SetByFen(fen);
    const int us = board.sideToMove, them = us ^ 1;
    if (AttackersOf(board, board.KingSquare(them), us, board.occupied))
        return "the side not to move is in check";
    if (board.enPassantSquare != -1) {
        const int pushed = board.enPassantSquare + (us == WHITE ? -8 : 8);
        if ((board.occupied & Bit(board.enPassantSquare)) ||
            !(board.pieces[PAWN] & board.colours[them] & Bit(pushed)))
            return "no pawn can just have moved two squares past the en passant square";
        // After a double push only the pushed pawn or a line it opened can give check.
        if (board.checkers & ~Bit(pushed) & (board.pieces[PAWN] | board.pieces[KNIGHT]))
            return "the check cannot follow a double pawn push";
    }
    if (MOVEGEN::CountMoves(board) > MAX_MOVES) return "more pseudo-legal moves than the move list holds";
    return "";
}

Move FirstLegalMove(const Board& board) {
    Board copy = board;
    MOVEGEN::GenerateMoves<All>(copy);
    for (int i = 0; i < copy.moveCount; i++)
        if (copy.IsLegal(copy.moves[i])) return copy.moves[i];
    return Move();
}

Move ParseMove(const Board& board, std::string_view token) {
    if (token.size() != 4 && token.size() != 5) return Move();
    for (int i = 0; i < 4; i += 2) {
        if (token[i] < 'a' || token[i] > 'h' || token[i + 1] < '1' || token[i + 1] > '8') return Move();
    }
    const int from = (token[0] - 'a') + 8 * (token[1] - '1');
    const int to = (token[2] - 'a') + 8 * (token[3] - '1');
    const int count = std::min<int>(board.moveCount, MAX_MOVES);

    if (token.size() == 5) {
        const std::size_t promoted = std::string_view("nbrq").find(token[4]);
        if (promoted == std::string_view::npos) return Move();
        const int base = board.mailbox[to] != NO_PIECE ? KNIGHT_PROMO_CAPTURE : KNIGHT_PROMOTION;
        const Move move(from, to, base + int(promoted));
        for (int i = 0; i < count; i++)
            if (board.moves[i] == move) return move;
        return Move();
    }
    // The first generated move between the squares gives the type (castling, double push, en
    // passant, capture). A promotion must name its piece: four letters name none.
    for (int i = 0; i < count; i++) {
        const Move move = board.moves[i];
        if (move.from() == from && move.to() == to) return move.IsPromotion() ? Move() : move;
    }
    return Move();
}

void PrintBoard(const Board& board) {
    constexpr std::string_view border = "+---+---+---+---+---+---+---+---+";
    for (int rank = 7; rank >= 0; rank--) {
        PLATFORM::WriteLine(border);
        std::string row = "| ";
        for (int file = 0; file < 8; file++) {
            const int sq = rank * 8 + file;
            if (board.mailbox[sq] == NO_PIECE) {
                row += "  | ";
            } else {
                const int colour = (board.colours[BLACK] >> sq) & 1;
                row += PIECE_LETTERS[board.mailbox[sq] * 2 + colour];
                row += " | ";
            }
        }
        row += ' ';
        row += char('1' + rank);
        PLATFORM::WriteLine(row);
    }
    PLATFORM::WriteLine(border);
    PLATFORM::WriteLine("  a   b   c   d   e   f   g   h");
    PLATFORM::WriteLine("");
    PLATFORM::WriteLine(std::string("      Side to move: ") +
                        (board.sideToMove == WHITE ? "White" : "Black"));
    PLATFORM::WriteLine(std::string("      En Passant square: ") +
                        (board.enPassantSquare == -1 ? "None" : squareCoords[board.enPassantSquare]));
    std::string rights = "      Castling rights: ";
    rights += (board.castlingRights & WHITE_KING_SIDE) ? 'K' : '-';
    rights += (board.castlingRights & WHITE_QUEEN_SIDE) ? 'Q' : '-';
    rights += (board.castlingRights & BLACK_KING_SIDE) ? 'k' : '-';
    rights += (board.castlingRights & BLACK_QUEEN_SIDE) ? 'q' : '-';
    PLATFORM::WriteLine(rights);
    PLATFORM::WriteLine("");
    std::ostringstream key;
    key << "      Hashkey: 0x" << std::hex << board.hashKey;
    PLATFORM::WriteLine(key.str());
    PLATFORM::WriteLine("      Fen: " + board.GetFen());
}
