#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <QAbstractScrollArea>
#include <QString>
#include <QTimer>

class QTextLayout;

// Read-only plain-text viewer for records of any size. The content is kept as
// bytes; a line is decoded and laid out only when it comes into view, so
// opening a record of tens of megabytes costs one pass over its bytes. Lines
// wrap at the viewer's width. Very long lines are held as several rows (pieces
// of at most MaxRowBytes) that are still one line for copying and saving.
//
// Rows are found again from the bytes when needed: only the start of every
// BlockRows-th row is kept, so a text of empty lines costs hardly more than
// its bytes. The bytes may also be a file mapped into memory, which the
// kernel pages in and out as the text is looked at.
class TTextViewer : public QAbstractScrollArea {
    Q_OBJECT
public:
    // A place in the text: a row and a UTF-16 index into its decoded text.
    struct TPos {
        qsizetype Row = 0;
        qsizetype Col = 0;
        auto operator<=>(const TPos&) const = default;
    };

    static constexpr size_t MaxRowBytes = 16 * 1024;
    static constexpr qsizetype BlockRows = 256;

    explicit TTextViewer(QWidget* Parent = nullptr);
    ~TTextViewer() override;

    void Clear();
    // Adds the lines of Text as if read back from a file it was written to
    // with a line break after it: a line ends at CR, LF or CR LF, and an
    // empty Text, or one ending in a break, adds an empty last line.
    void AppendLines(std::string_view Text);
    // Replaces the content with the lines of Text, taking over its buffer. A
    // break at the very end starts no further line ("a\r\n" is one line).
    void SetText(std::string&& Text);
    // The same with the whole of the open file Fd, mapped rather than read;
    // the file must not shrink while it is shown. False (content cleared)
    // when it cannot be mapped.
    bool SetMappedFile(int Fd);

    qsizetype LineCount() const { return FLineCount; }
    qsizetype RowCount() const { return FRows; }
    // The content as bytes, every line followed by CR LF.
    std::string Content() const;
    // The same, handed to Write piece by piece; stops when Write says false.
    using TWrite = std::function<bool(std::string_view)>;
    bool WriteContent(const TWrite& Write) const;
    // Memory the viewer holds for its text (not counting a mapped file).
    size_t MemoryCost() const;
    // What a row shows on screen.
    QString RowText(qsizetype Row) const;

    bool HasSelection() const { return FAnchor != FCursor; }
    void Select(TPos Anchor, TPos Cursor);
    void SelectAll();
    // The selected bytes, lines joined by CR LF.
    std::string SelectedBytes() const;
    // The selected text as shown, lines joined by LF (for the clipboard).
    QString SelectedText() const;
    void Copy() const;

protected:
    void paintEvent(QPaintEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void changeEvent(QEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void mouseDoubleClickEvent(QMouseEvent* Event) override;
    void wheelEvent(QWheelEvent* Event) override;
    void contextMenuEvent(QContextMenuEvent* Event) override;
    void scrollContentsBy(int Dx, int Dy) override;

private:
    struct TMark {
        size_t Offset;  // where the row starts
        bool Joined;    // it goes on the line of the row before
    };
    struct TBlock {
        qsizetype First = -1;
        std::vector<size_t> Start, End;
        std::vector<bool> Joined;
    };
    void Unmap();
    void IndexFrom(size_t Begin);
    const TBlock& Block(qsizetype Row) const;
    bool RowJoined(qsizetype Row) const;
    std::string_view RowBytes(qsizetype Row) const;
    qsizetype ByteOffset(qsizetype Row, qsizetype Col) const;
    QTextLayout* Layout(qsizetype Row);
    qreal RowHeight(qsizetype Row);
    qreal LineWidth() const;
    void ContentChanged();
    void InvalidateLayouts();
    void UpdateScrollRange();
    void ScrollByPixels(qreal Dy);
    void ScrollToRow(qsizetype Row, qreal Offset);
    void SyncScrollBar();
    TPos PosAt(QPoint Point);
    void ExtendSelectionTo(QPoint Point);
    void AutoScroll();
    void PublishSelection() const;

    std::string FOwned;  // the text, line breaks included, unless mapped
    const char* FData = nullptr;
    size_t FSize = 0;
    void* FMap = nullptr;
    size_t FMapSize = 0;
    std::vector<TMark> FMarks;  // of rows 0, BlockRows, 2 * BlockRows, ...
    qsizetype FRows = 0;
    qsizetype FLineCount = 0;
    mutable TBlock FBlocks[4];  // the rows of blocks in use, found again
    mutable size_t FNextBlock = 0;

    std::unordered_map<qsizetype, std::unique_ptr<QTextLayout>> FLayouts;
    qreal FLayoutWidth = 0;
    size_t FLayoutBytes = 0;  // of the rows laid out
    bool FRangeDirty = true;
    qsizetype FTopRow = 0;  // first row in view
    qreal FTopOffset = 0;   // pixels of it scrolled out at the top
    qsizetype FMaxRow = 0;  // the last scroll position
    qreal FMaxOffset = 0;
    bool FSyncingBar = false;

    TPos FAnchor, FCursor;
    bool FSelecting = false;
    QPoint FLastMouse;
    QTimer FAutoScroll;
};
