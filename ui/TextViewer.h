#pragma once

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
// bytes, one entry per line; a line is decoded and laid out only when it comes
// into view, so opening a record of tens of megabytes costs one pass over its
// bytes. Lines wrap at the viewer's width. Very long lines are held as several
// rows (pieces of at most MaxRowBytes) that are still one line for copying and
// saving.
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

    explicit TTextViewer(QWidget* Parent = nullptr);
    ~TTextViewer() override;

    void Clear();
    // Adds the lines of Text: a line ends at CR, LF or CR LF, and a break at
    // the very end starts no further line ("a\r\n" is one line).
    void AppendText(std::string_view Text);
    // Adds one line holding Text as it is (no line breaks are looked for).
    void AppendLine(std::string_view Text);
    // Replaces the content with the lines of Text, taking over its buffer.
    void SetText(std::string&& Text);

    qsizetype LineCount() const { return FLineCount; }
    qsizetype RowCount() const { return qsizetype(FJoined.size()); }
    // The content as bytes, every line followed by CR LF.
    std::string Content() const;
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
    void IndexFrom(size_t Begin);
    void AddLine(size_t Begin, size_t End);
    void AddRow(size_t Begin, size_t End, bool Joined);
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

    std::string FBytes;          // the text, line breaks included
    std::vector<size_t> FStart;  // where each row starts in FBytes
    std::vector<size_t> FEnd;    // and where it ends
    std::vector<bool> FJoined;   // the row goes on the line of the row before
    qsizetype FLineCount = 0;

    std::unordered_map<qsizetype, std::unique_ptr<QTextLayout>> FLayouts;
    qreal FLayoutWidth = 0;
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
