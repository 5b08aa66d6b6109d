#include "ui/TextViewer.h"

#include <algorithm>
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
// Layouts are rebuilt on demand; past this many the cache is dropped.
constexpr size_t MaxCachedLayouts = 512;
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

TTextViewer::~TTextViewer() = default;

void TTextViewer::Clear() {
    FBytes.clear();
    FBytes.shrink_to_fit();
    FStart.clear();
    FEnd.clear();
    FJoined.clear();
    FLineCount = 0;
    FTopRow = 0;
    FTopOffset = 0;
    FAnchor = FCursor = TPos{};
    FLayouts.clear();
    ContentChanged();
}

void TTextViewer::SetText(std::string&& Text) {
    Clear();
    FBytes = std::move(Text);
    IndexFrom(0);
    ContentChanged();
}

void TTextViewer::AppendText(std::string_view Text) {
    const size_t begin = FBytes.size();
    FBytes.append(Text);
    IndexFrom(begin);
    ContentChanged();
}

void TTextViewer::IndexFrom(size_t Begin) {
    const char* data = FBytes.data();
    const size_t n = FBytes.size();
    // The next CR and LF are looked up only when passed, so text with just one
    // kind of line end is still read in one pass.
    auto next = [&](char c, size_t from) {
        const void* hit = std::memchr(data + from, c, n - from);
        return hit ? size_t(static_cast<const char*>(hit) - data) : n;
    };
    size_t pos = Begin, nextCr = 0, nextLf = 0;
    bool crKnown = false, lfKnown = false;
    while (pos < n) {
        if (!crKnown || nextCr < pos) nextCr = next('\r', pos), crKnown = true;
        if (!lfKnown || nextLf < pos) nextLf = next('\n', pos), lfKnown = true;
        const size_t end = std::min(nextCr, nextLf);
        AddLine(pos, end);
        if (end == n) break;
        pos = end + ((data[end] == '\r' && end + 1 < n && data[end + 1] == '\n') ? 2 : 1);
    }
}

void TTextViewer::AppendLine(std::string_view Text) {
    const size_t begin = FBytes.size();
    FBytes.append(Text);
    AddLine(begin, FBytes.size());
    ContentChanged();
}

void TTextViewer::AddLine(size_t Begin, size_t End) {
    bool joined = false;
    while (End - Begin > MaxRowBytes) {
        // Never split a UTF-8 sequence between two rows.
        size_t cut = Begin + MaxRowBytes;
        while (cut > Begin + MaxRowBytes - 3 &&
               (static_cast<unsigned char>(FBytes[cut]) & 0xC0) == 0x80)
            --cut;
        AddRow(Begin, cut, joined);
        joined = true;
        Begin = cut;
    }
    AddRow(Begin, End, joined);
    ++FLineCount;
}

void TTextViewer::AddRow(size_t Begin, size_t End, bool Joined) {
    FStart.push_back(Begin);
    FEnd.push_back(End);
    FJoined.push_back(Joined);
}

std::string_view TTextViewer::RowBytes(qsizetype Row) const {
    // An empty viewer has no rows at all; nothing may read past them.
    if (Row < 0 || Row >= RowCount()) return {};
    const size_t row = size_t(Row);
    return std::string_view(FBytes).substr(FStart[row], FEnd[row] - FStart[row]);
}

std::string TTextViewer::Content() const {
    std::string out;
    out.reserve(FBytes.size() + size_t(FLineCount));
    for (qsizetype row = 0; row < RowCount(); ++row) {
        out.append(RowBytes(row));
        if (row + 1 == RowCount() || !FJoined[size_t(row) + 1]) out.append("\r\n");
    }
    return out;
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
        if (row > from.Row && !FJoined[size_t(row)]) out.append("\r\n");
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
        if (row > from.Row && !FJoined[size_t(row)]) out.append(QLatin1Char('\n'));
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
        FLayoutWidth = LineWidth();
    }
    auto found = FLayouts.find(Row);
    if (found != FLayouts.end()) return found->second.get();
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
    if (FLayouts.size() > MaxCachedLayouts) FLayouts.clear();
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
