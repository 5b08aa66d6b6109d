#include "ui/TextViewer.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <cstring>
#include <utility>

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>
#include <QWheelEvent>

#include "platform/TextCodec.h"

namespace {
constexpr int Margin = 3;
// Layouts are rebuilt on demand; past this many, or past rows of this many
// bytes, the cache is dropped.
constexpr size_t MaxCachedLayouts = 512;
constexpr size_t MaxLayoutBytes = size_t(1) << 20;
}  // namespace

TTextViewer::TTextViewer(QWidget* Parent) : QAbstractScrollArea(Parent) {
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    FAutoScroll.setInterval(50);
    connect(&FAutoScroll, &QTimer::timeout, this, [this] { AutoScroll(); });
}

TTextViewer::~TTextViewer() {
    Unmap();
}

namespace {
// Walks the rows of a text from the start of one: each Next() finds one row.
// The next CR and LF are looked up only once passed, and never past Limit,
// so a walk costs one pass over the bytes it covers.
struct TRowWalk {
    const char* Data;
    size_t Size;
    size_t Limit;  // no row of the walk ends past it
    size_t Pos;
    bool Joined;   // the row at Pos goes on the line before
    size_t NextCr = 0, NextLf = 0;
    bool Known = false;
    // The row found.
    size_t Begin = 0, End = 0;
    bool RowJoined = false;

    size_t Find(char C, size_t From) const {
        if (From >= Limit) return Limit;
        const void* hit = std::memchr(Data + From, C, Limit - From);
        return hit ? size_t(static_cast<const char*>(hit) - Data) : Limit;
    }

    bool Next() {
        if (Pos >= Size) return false;
        if (!Known || NextCr < Pos) NextCr = Find('\r', Pos);
        if (!Known || NextLf < Pos) NextLf = Find('\n', Pos);
        Known = true;
        const size_t end = std::min(NextCr, NextLf);
        Begin = Pos;
        RowJoined = Joined;
        if (end - Pos > TTextViewer::MaxRowBytes) {
            // Never split a UTF-8 sequence between two rows.
            size_t cut = Pos + TTextViewer::MaxRowBytes;
            while (cut > Pos + TTextViewer::MaxRowBytes - 3 &&
                   (static_cast<unsigned char>(Data[cut]) & 0xC0) == 0x80)
                --cut;
            End = Pos = cut;
            Joined = true;
            return true;
        }
        End = end;
        Joined = false;
        if (end >= Size)
            Pos = Size;
        else
            Pos = end + ((Data[end] == '\r' && end + 1 < Size && Data[end + 1] == '\n') ? 2 : 1);
        return true;
    }
};

// Pages of a mapped file already indexed are given back as indexing goes on.
constexpr size_t DropStep = size_t(64) << 20;
}  // namespace

void TTextViewer::Unmap() {
    if (FMap) ::munmap(FMap, FMapSize);
    FMap = nullptr;
    FMapSize = 0;
}

void TTextViewer::Clear() {
    Unmap();
    FOwned.clear();
    FOwned.shrink_to_fit();
    FData = nullptr;
    FSize = 0;
    FMarks.clear();
    FMarks.shrink_to_fit();
    FRows = 0;
    FLineCount = 0;
    for (TBlock& block : FBlocks) block = TBlock();
    FTopRow = 0;
    FTopOffset = 0;
    FAnchor = FCursor = TPos{};
    FLayouts.clear();
    FLayoutBytes = 0;
    ContentChanged();
}

void TTextViewer::SetText(std::string&& Text) {
    Clear();
    FOwned = std::move(Text);
    FData = FOwned.data();
    FSize = FOwned.size();
    IndexFrom(0);
    ContentChanged();
}

bool TTextViewer::SetMappedFile(int Fd) {
    Clear();
    struct stat st {};
    if (::fstat(Fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (st.st_size == 0) return true;
    void* map = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, Fd, 0);
    if (map == MAP_FAILED) return false;
    FMap = map;
    FMapSize = size_t(st.st_size);
    FData = static_cast<const char*>(map);
    FSize = FMapSize;
    IndexFrom(0);
    ContentChanged();
    return true;
}

void TTextViewer::AppendLines(std::string_view Text) {
    if (FMap) {
        // Rows are found again from the bytes, so the text grows in memory.
        std::string bytes(FData, FSize);
        Unmap();
        FOwned = std::move(bytes);
    }
    const size_t begin = FOwned.size();
    // What came before ends its last line.
    if (begin > 0 && FOwned.back() != '\r' && FOwned.back() != '\n') FOwned.append("\r\n");
    FOwned.append(Text);
    FOwned.append("\r\n");
    FData = FOwned.data();
    FSize = FOwned.size();
    for (TBlock& block : FBlocks) block.First = -1;  // the last one may grow
    IndexFrom(begin);
    ContentChanged();
}

void TTextViewer::IndexFrom(size_t Begin) {
    TRowWalk walk{FData, FSize, FSize, Begin, false};
    size_t dropped = 0;
    while (walk.Next()) {
        if (FRows % BlockRows == 0) FMarks.push_back({walk.Begin, walk.RowJoined});
        ++FRows;
        if (!walk.Joined) ++FLineCount;
        if (FMap && walk.Pos - dropped >= DropStep) {
            const size_t page = size_t(::sysconf(_SC_PAGESIZE));
            const size_t upTo = std::min({walk.Pos, walk.NextCr, walk.NextLf}) / page * page;
            if (upTo > dropped) {
                ::madvise(static_cast<char*>(FMap) + dropped, upTo - dropped, MADV_DONTNEED);
                dropped = upTo;
            }
        }
    }
}

const TTextViewer::TBlock& TTextViewer::Block(qsizetype Row) const {
    const qsizetype first = Row / BlockRows * BlockRows;
    for (const TBlock& block : FBlocks)
        if (block.First == first) return block;
    TBlock& block = FBlocks[FNextBlock++ % std::size(FBlocks)];
    block.First = first;
    block.Start.clear();
    block.End.clear();
    block.Joined.clear();
    const size_t mark = size_t(first / BlockRows);
    const size_t limit = mark + 1 < FMarks.size() ? FMarks[mark + 1].Offset : FSize;
    TRowWalk walk{FData, FSize, limit, FMarks[mark].Offset, FMarks[mark].Joined};
    for (qsizetype row = first; row < std::min(FRows, first + BlockRows) && walk.Next(); ++row) {
        block.Start.push_back(walk.Begin);
        block.End.push_back(walk.End);
        block.Joined.push_back(walk.RowJoined);
    }
    return block;
}

bool TTextViewer::RowJoined(qsizetype Row) const {
    if (Row <= 0 || Row >= RowCount()) return false;
    const TBlock& block = Block(Row);
    return block.Joined[size_t(Row - block.First)];
}

std::string_view TTextViewer::RowBytes(qsizetype Row) const {
    // An empty viewer has no rows at all; nothing may read past them.
    if (Row < 0 || Row >= RowCount()) return {};
    const TBlock& block = Block(Row);
    const size_t at = size_t(Row - block.First);
    return std::string_view(FData + block.Start[at], block.End[at] - block.Start[at]);
}

bool TTextViewer::WriteContent(const TWrite& Write) const {
    std::string piece;
    for (qsizetype row = 0; row < RowCount(); ++row) {
        piece.append(RowBytes(row));
        if (row + 1 == RowCount() || !RowJoined(row + 1)) piece.append("\r\n");
        if (piece.size() >= (size_t(1) << 20) || row + 1 == RowCount()) {
            if (!Write(piece)) return false;
            piece.clear();
        }
    }
    return true;
}

std::string TTextViewer::Content() const {
    std::string out;
    out.reserve(FSize + size_t(FLineCount));
    WriteContent([&](std::string_view Piece) {
        out.append(Piece);
        return true;
    });
    return out;
}

size_t TTextViewer::MemoryCost() const {
    size_t blocks = 0;
    for (const TBlock& block : FBlocks)
        blocks += (block.Start.capacity() + block.End.capacity()) * sizeof(size_t) +
                  block.Joined.capacity() / 8;
    // A laid-out row holds some tens of bytes per character.
    return FOwned.capacity() + FMarks.capacity() * sizeof(TMark) + blocks + 32 * FLayoutBytes;
}

QString TTextViewer::RowText(qsizetype Row) const {
    QString text = DecodeForScreen(RowBytes(Row));
    // Control characters are shown as their pictures, one for one, so that
    // positions on screen still match the decoded text.
    for (QChar& c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 && u != u'\t')
            c = QChar(char16_t(0x2400 + u));
        else if (u == 0x7F)
            c = QChar(char16_t(0x2421));
    }
    return text;
}

qsizetype TTextViewer::ByteOffset(qsizetype Row, qsizetype Col) const {
    const std::string_view bytes = RowBytes(Row);
    if (Col <= 0) return 0;
    // Text shown as Windows-1252 has one character per byte.
    if (!IsValidUtf8(bytes)) return std::min(Col, qsizetype(bytes.size()));
    const QString text = QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
    if (Col >= text.size()) return qsizetype(bytes.size());
    if (text.at(Col).isLowSurrogate()) ++Col;
    return text.left(Col).toUtf8().size();
}

void TTextViewer::Select(TPos Anchor, TPos Cursor) {
    auto clamp = [this](TPos p) {
        if (RowCount() == 0) return TPos{};
        p.Row = std::clamp<qsizetype>(p.Row, 0, RowCount() - 1);
        p.Col = std::clamp<qsizetype>(p.Col, 0, RowText(p.Row).size());
        return p;
    };
    FAnchor = clamp(Anchor);
    FCursor = clamp(Cursor);
    viewport()->update();
}

void TTextViewer::SelectAll() {
    if (RowCount() == 0) return;
    Select({0, 0}, {RowCount() - 1, RowText(RowCount() - 1).size()});
}

std::string TTextViewer::SelectedBytes() const {
    std::string out;
    if (!HasSelection()) return out;
    const auto [from, to] = std::minmax(FAnchor, FCursor);
    for (qsizetype row = from.Row; row <= to.Row; ++row) {
        const std::string_view bytes = RowBytes(row);
        const qsizetype begin = row == from.Row ? ByteOffset(row, from.Col) : 0;
        const qsizetype end = row == to.Row ? ByteOffset(row, to.Col) : qsizetype(bytes.size());
        if (row > from.Row && !RowJoined(row)) out.append("\r\n");
        if (end > begin) out.append(bytes.substr(size_t(begin), size_t(end - begin)));
    }
    return out;
}

QString TTextViewer::SelectedText() const {
    QString out;
    if (!HasSelection()) return out;
    const auto [from, to] = std::minmax(FAnchor, FCursor);
    for (qsizetype row = from.Row; row <= to.Row; ++row) {
        const QString text = RowText(row);
        const qsizetype begin = row == from.Row ? from.Col : 0;
        const qsizetype end = row == to.Row ? to.Col : text.size();
        if (row > from.Row && !RowJoined(row)) out.append(QLatin1Char('\n'));
        out.append(text.mid(begin, end - begin));
    }
    return out;
}

void TTextViewer::Copy() const {
    if (HasSelection()) QGuiApplication::clipboard()->setText(SelectedText());
}

void TTextViewer::PublishSelection() const {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (HasSelection() && clipboard->supportsSelection())
        clipboard->setText(SelectedText(), QClipboard::Selection);
}

qreal TTextViewer::LineWidth() const {
    return qMax(1, viewport()->width() - 2 * Margin);
}

QTextLayout* TTextViewer::Layout(qsizetype Row) {
    if (LineWidth() != FLayoutWidth) {
        FLayouts.clear();
        FLayoutBytes = 0;
        FLayoutWidth = LineWidth();
    }
    auto found = FLayouts.find(Row);
    if (found != FLayouts.end()) return found->second.get();
    FLayoutBytes += RowBytes(Row).size();
    auto layout = std::make_unique<QTextLayout>(RowText(Row), font(), viewport());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout->setTextOption(option);
    layout->setCacheEnabled(true);
    layout->beginLayout();
    qreal y = 0;
    for (;;) {
        QTextLine line = layout->createLine();
        if (!line.isValid()) break;
        line.setLineWidth(LineWidth());
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout->endLayout();
    return FLayouts.emplace(Row, std::move(layout)).first->second.get();
}

qreal TTextViewer::RowHeight(qsizetype Row) {
    return qMax<qreal>(Layout(Row)->boundingRect().height(), fontMetrics().lineSpacing());
}

void TTextViewer::InvalidateLayouts() {
    FLayouts.clear();
    FLayoutBytes = 0;
    FRangeDirty = true;
    viewport()->update();
}

void TTextViewer::ContentChanged() {
    // Appending changes no existing row; the scroll range is worked out again
    // when it is next needed, not after every line.
    FRangeDirty = true;
    viewport()->update();
}

void TTextViewer::UpdateScrollRange() {
    FRangeDirty = false;
    const qreal height = viewport()->height();
    qreal below = 0;
    qsizetype row = RowCount() - 1;
    while (row >= 0) {
        const qreal h = RowHeight(row);
        if (below + h > height) break;
        below += h;
        --row;
    }
    if (row < 0) {
        FMaxRow = 0;
        FMaxOffset = 0;
    } else {
        FMaxRow = row;
        FMaxOffset = RowHeight(row) - (height - below);
    }
    if (std::pair(FTopRow, FTopOffset) > std::pair(FMaxRow, FMaxOffset)) {
        FTopRow = FMaxRow;
        FTopOffset = FMaxOffset;
    }
    FSyncingBar = true;
    verticalScrollBar()->setRange(0, int(std::min<qsizetype>(FMaxRow, INT_MAX)));
    verticalScrollBar()->setSingleStep(1);
    verticalScrollBar()->setPageStep(qMax(1, int(height / fontMetrics().lineSpacing())));
    verticalScrollBar()->setValue(int(FTopRow));
    FSyncingBar = false;
}

void TTextViewer::SyncScrollBar() {
    FSyncingBar = true;
    verticalScrollBar()->setValue(int(FTopRow));
    FSyncingBar = false;
    viewport()->update();
}

void TTextViewer::ScrollToRow(qsizetype Row, qreal Offset) {
    if (FRangeDirty) UpdateScrollRange();
    std::pair pos(std::clamp<qsizetype>(Row, 0, FMaxRow), qMax<qreal>(0, Offset));
    if (pos > std::pair(FMaxRow, FMaxOffset)) pos = {FMaxRow, FMaxOffset};
    FTopRow = pos.first;
    FTopOffset = pos.second;
    SyncScrollBar();
}

void TTextViewer::ScrollByPixels(qreal Dy) {
    if (FRangeDirty) UpdateScrollRange();
    if (RowCount() == 0) return;
    qsizetype row = FTopRow;
    qreal offset = FTopOffset + Dy;
    while (offset < 0 && row > 0) offset += RowHeight(--row);
    while (row < FMaxRow && offset >= RowHeight(row)) offset -= RowHeight(row++);
    ScrollToRow(row, offset);
}

void TTextViewer::scrollContentsBy(int, int) {
    if (FSyncingBar) return;
    const qsizetype value = verticalScrollBar()->value();
    if (value >= FMaxRow)
        ScrollToRow(FMaxRow, FMaxOffset);
    else
        ScrollToRow(value, 0);
}

void TTextViewer::paintEvent(QPaintEvent*) {
    if (FLayouts.size() > MaxCachedLayouts || FLayoutBytes > MaxLayoutBytes) {
        FLayouts.clear();
        FLayoutBytes = 0;
    }
    if (FRangeDirty) UpdateScrollRange();
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Text));
    const auto [from, to] = std::minmax(FAnchor, FCursor);
    const qreal height = viewport()->height();
    qreal y = -FTopOffset;
    for (qsizetype row = FTopRow; row < RowCount() && y < height; ++row) {
        QTextLayout* layout = Layout(row);
        QList<QTextLayout::FormatRange> selection;
        if (HasSelection() && row >= from.Row && row <= to.Row) {
            const qsizetype begin = row == from.Row ? from.Col : 0;
            const qsizetype end = row == to.Row ? to.Col : layout->text().size();
            if (end > begin) {
                QTextLayout::FormatRange range;
                range.start = int(begin);
                range.length = int(end - begin);
                range.format.setBackground(palette().brush(QPalette::Highlight));
                range.format.setForeground(palette().brush(QPalette::HighlightedText));
                selection.append(range);
            }
        }
        layout->draw(&painter, QPointF(Margin, y), selection);
        y += RowHeight(row);
    }
}

void TTextViewer::resizeEvent(QResizeEvent* Event) {
    QAbstractScrollArea::resizeEvent(Event);
    FRangeDirty = true;
}

void TTextViewer::changeEvent(QEvent* Event) {
    QAbstractScrollArea::changeEvent(Event);
    if (Event->type() == QEvent::FontChange || Event->type() == QEvent::StyleChange)
        InvalidateLayouts();
}

void TTextViewer::keyPressEvent(QKeyEvent* Event) {
    const qreal line = fontMetrics().lineSpacing();
    const qreal page = qMax<qreal>(line, viewport()->height() - line);
    if (Event == QKeySequence::Copy) {
        Copy();
    } else if (Event == QKeySequence::SelectAll) {
        SelectAll();
    } else {
        switch (Event->key()) {
            case Qt::Key_Up:
                ScrollByPixels(-line);
                break;
            case Qt::Key_Down:
                ScrollByPixels(line);
                break;
            case Qt::Key_PageUp:
                ScrollByPixels(-page);
                break;
            case Qt::Key_PageDown:
                ScrollByPixels(page);
                break;
            case Qt::Key_Home:
                ScrollToRow(0, 0);
                break;
            case Qt::Key_End:
                if (FRangeDirty) UpdateScrollRange();
                ScrollToRow(FMaxRow, FMaxOffset);
                break;
            default:
                // Enter and Esc belong to the window's buttons.
                Event->ignore();
                return;
        }
    }
    Event->accept();
}

TTextViewer::TPos TTextViewer::PosAt(QPoint Point) {
    if (RowCount() == 0) return {};
    qreal y = -FTopOffset;
    qsizetype row = FTopRow;
    for (; row < RowCount(); ++row) {
        const qreal h = RowHeight(row);
        if (Point.y() < y + h) break;
        y += h;
    }
    if (row == RowCount()) return {row - 1, RowText(row - 1).size()};
    QTextLayout* layout = Layout(row);
    const qreal local = Point.y() - y;
    for (int i = 0; i < layout->lineCount(); ++i) {
        const QTextLine line = layout->lineAt(i);
        if (local < line.y() + line.height() || i + 1 == layout->lineCount())
            return {row, line.xToCursor(Point.x() - Margin, QTextLine::CursorBetweenCharacters)};
    }
    return {row, 0};
}

void TTextViewer::ExtendSelectionTo(QPoint Point) {
    const TPos pos = PosAt(Point);
    if (pos == FCursor) return;
    FCursor = pos;
    viewport()->update();
}

void TTextViewer::mousePressEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(Event);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    const TPos pos = PosAt(Event->position().toPoint());
    if (!(Event->modifiers() & Qt::ShiftModifier)) FAnchor = pos;
    FCursor = pos;
    FSelecting = true;
    FLastMouse = Event->position().toPoint();
    viewport()->update();
}

void TTextViewer::mouseMoveEvent(QMouseEvent* Event) {
    if (!FSelecting) return;
    FLastMouse = Event->position().toPoint();
    ExtendSelectionTo(FLastMouse);
    const bool outside = FLastMouse.y() < 0 || FLastMouse.y() >= viewport()->height();
    if (outside && !FAutoScroll.isActive())
        FAutoScroll.start();
    else if (!outside)
        FAutoScroll.stop();
}

void TTextViewer::mouseReleaseEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton || !FSelecting) return;
    FSelecting = false;
    FAutoScroll.stop();
    PublishSelection();
}

void TTextViewer::mouseDoubleClickEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton || RowCount() == 0) return;
    const TPos pos = PosAt(Event->position().toPoint());
    const QString text = RowText(pos.Row);
    auto inWord = [&](qsizetype i) {
        return i >= 0 && i < text.size() && (text[i].isLetterOrNumber() || text[i] == u'_');
    };
    qsizetype begin = pos.Col, end = pos.Col;
    while (inWord(begin - 1)) --begin;
    while (inWord(end)) ++end;
    FAnchor = {pos.Row, begin};
    FCursor = {pos.Row, end};
    viewport()->update();
    PublishSelection();
}

void TTextViewer::AutoScroll() {
    if (!FSelecting) {
        FAutoScroll.stop();
        return;
    }
    const qreal line = fontMetrics().lineSpacing();
    ScrollByPixels(FLastMouse.y() < 0 ? -line : line);
    ExtendSelectionTo(FLastMouse);
}

void TTextViewer::wheelEvent(QWheelEvent* Event) {
    qreal dy;
    if (!Event->pixelDelta().isNull())
        dy = -Event->pixelDelta().y();
    else
        dy = -Event->angleDelta().y() / 120.0 * QApplication::wheelScrollLines() *
             fontMetrics().lineSpacing();
    ScrollByPixels(dy);
    Event->accept();
}

void TTextViewer::contextMenuEvent(QContextMenuEvent* Event) {
    QMenu menu(this);
    QAction* copy = menu.addAction(tr("&Copy"), this, [this] { Copy(); });
    copy->setEnabled(HasSelection());
    menu.addAction(tr("Select &All"), this, [this] { SelectAll(); });
    menu.exec(Event->globalPos());
}
