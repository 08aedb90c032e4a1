#include "app/app_setup.h"
#include "receive/glyph_cells.h"
#include "receive/glyph_rows.h"
#include "receive/receive_display.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTextLayout>
#include <memory>

// The largest difference of one color channel between two images of one size.
int largestDifference(const QImage &a, const QImage &b)
{
    int most = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            most = std::max({most, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                             std::abs(qBlue(p) - qBlue(q))});
        }
    return most;
}

// The receive box as a person and as assistive technology use it.
class TestReceiveDisplay : public QObject
{
    Q_OBJECT

    std::unique_ptr<ReceiveDisplay> box;

    static inline QList<QAccessible::Event> s_events;
    static inline QList<QString> s_inserted;
    static void recordEvent(QAccessibleEvent *e)
    {
        s_events << e->type();
        if (e->type() == QAccessible::TextInserted)
            s_inserted << static_cast<QAccessibleTextInsertEvent *>(e)->textInserted();
    }

private slots:
    void initTestCase() { configureApplication(); }
    void init()
    {
        box = std::make_unique<ReceiveDisplay>();
        box->resize(383, 317);
        box->show();
        QVERIFY(QTest::qWaitForWindowExposed(box.get()));
        box->setFocus();
        box->activateWindow();
    }
    void cleanup() { box.reset(); }

    void typingAndEditingKeys()
    {
        QTest::keyClicks(box.get(), "ab");
        QTest::keyClick(box.get(), Qt::Key_Return);
        QTest::keyClicks(box.get(), "c");
        QCOMPARE(box->text(), QStringLiteral("ab\r\nc"));
        QTest::keyClick(box.get(), Qt::Key_Left);
        QTest::keyClick(box.get(), Qt::Key_Backspace); // CR LF goes as one
        QCOMPARE(box->text(), QStringLiteral("abc"));
        QTest::keyClick(box.get(), Qt::Key_Home);
        QTest::keyClick(box.get(), Qt::Key_Delete);
        QCOMPARE(box->text(), QStringLiteral("bc"));
        QTest::keyClick(box.get(), Qt::Key_End, Qt::ShiftModifier);
        QCOMPARE(box->selectedText(), QStringLiteral("bc"));
        QTest::keyClicks(box.get(), "X");
        QCOMPARE(box->text(), QStringLiteral("X"));
    }

    void selectCopyPaste()
    {
        box->appendReceivedText(u"hello world");
        QTest::keyClick(box.get(), Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(box->selectedText(), QStringLiteral("hello world"));
        QTest::keyClick(box.get(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("hello world"));
        box->setSelection(0, 5);
        QApplication::clipboard()->setText(QStringLiteral("bye"));
        QTest::keyClick(box.get(), Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(box->text(), QStringLiteral("bye world"));
        box->setSelection(4, 9);
        QTest::keyClick(box.get(), Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(box->text(), QStringLiteral("bye "));
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("world"));
    }

    // Received data goes after whatever the box holds, and the caret follows it.
    void appendAfterTypingMovesTheCaret()
    {
        QTest::keyClicks(box.get(), "typed");
        box->setCaretPosition(2);
        box->appendReceivedHex(QByteArray("\x0d\x0a", 2));
        QCOMPARE(box->text(), QStringLiteral("typed0D 0A "));
        QCOMPARE(box->caretPosition(), box->length());
    }

    void mouseAndRowsAgree()
    {
        box->appendReceivedText(u"first line\r\nsecond line\r\n中文第三行");
        QTest::qWait(50);
        for (qint64 pos : {0, 3, 14, 25, 27}) {
            const QRect r = box->characterRect(pos);
            QTest::mouseClick(box->viewport(), Qt::LeftButton, {},
                              QPoint(r.left() + 1, r.center().y()));
            QCOMPARE(box->caretPosition(), pos);
        }
        // Up keeps the column: from after "中文" to the same x in "second line".
        const int x = box->characterRect(27).left();
        QTest::keyClick(box.get(), Qt::Key_Up);
        QVERIFY(box->caretPosition() >= 12 && box->caretPosition() <= 23);
        QVERIFY(std::abs(box->characterRect(box->caretPosition()).left() - x) <= 6);
    }

    // Glyphs copied from cells look exactly as Qt draws them: every printable
    // ASCII character at every quarter pixel the advances produce, Chinese,
    // hex pairs, selected parts, on both image formats windows use, moved
    // within the image and cut by the paint's rectangle.
    void copiedGlyphsMatchQtsOwnDrawing()
    {
        GlyphRows rows(box->font(), [fm = QFontMetricsF(box->font())](char16_t c) {
            return int(std::lround(fm.horizontalAdvance(QChar(c)) * 64));
        });
        QString ascii;
        for (char16_t c = 0x21; c < 0x7f; ++c)
            ascii += QChar(c);
        const QPalette pal = box->palette();
        const GlyphRow::Colors colors{pal.color(QPalette::Base), pal.brush(QPalette::Highlight),
                                      pal.color(QPalette::Text),
                                      pal.color(QPalette::HighlightedText), QColor(Qt::blue)};
        const QRawFont raw = QRawFont::fromFont(box->font());
        const int height = QFontMetrics(box->font()).lineSpacing();
        GlyphCells cells(raw, height, raw.ascent());
        struct Case {
            QString text;
            int selFrom, selTo;
            QRect clip;
        } cases[] = {
            {ascii, 0, 0, {}},
            {ascii, 10, 40, {}},
            {QString::fromUtf8("温度=23.5 状态=正常 ¥€"), 3, 9, {}},
            {QString::fromUtf8("状态=OK WAVY"), 0, 10, {}}, // the whole row selected
            {QStringLiteral("5A 0F C3 FF 00 7E "), 0, 0, QRect(20, 3, 31, 5)},
        };
        for (const Case &c : cases)
            for (QImage::Format format :
                 {QImage::Format_RGB32, QImage::Format_ARGB32_Premultiplied}) {
                const auto row = rows.row(c.text);
                QVERIFY(row);
                const QSize size(int(row->edges().back()) + 24, height + 10);
                QImage qt(size, format), copied(size, format);
                QImage *images[] = {&qt, &copied};
                for (QImage *image : images) {
                    image->fill(colors.base);
                    QPainter p(image);
                    p.translate(7, 3);
                    const QRect clip = c.clip.isNull() ? QRect(QPoint(0, 0), size) : c.clip;
                    auto surface = GlyphCells::surface(p, clip);
                    QVERIFY(surface);
                    if (image == &qt) {
                        p.setClipRect(clip);
                        row->draw(p, QPointF(2, 1), height, c.selFrom, c.selTo, colors);
                    } else {
                        row->draw(p, QPointF(2, 1), height, c.selFrom, c.selTo, colors, &cells,
                                  &*surface);
                    }
                }
                // Where two glyphs' ink meets, rounding may differ by one.
                QVERIFY2(largestDifference(copied, qt) <= 1, qPrintable(c.text));
                QImage blank(size, format);
                blank.fill(colors.base);
                QVERIFY(copied != blank);
            }
    }

    // A paint that needs more cells than the usual bound (a full screen of
    // varied Chinese) finds them all again at the next paint instead of
    // drawing them anew; a later, smaller paint lets them go.
    void glyphCellsKeepWhatOnePaintUses()
    {
        const QRawFont raw = QRawFont::fromFont(box->font());
        const int height = QFontMetrics(box->font()).lineSpacing();
        GlyphCells cells(raw, height, raw.ascent());
        QList<quint32> glyphs;
        for (char16_t c = 0x21; c < 0x500; ++c)
            if (const quint32 g = raw.glyphIndexesForString(QString(QChar(c))).value(0);
                g && !glyphs.contains(g))
                glyphs.append(g);
        // Every glyph at each quarter pixel, in two color pairs.
        if (size_t(glyphs.size()) * 8 <= GlyphCells::kMaxCells)
            QSKIP("the font has too few glyphs");
        QImage image(64, height, QImage::Format_RGB32);
        QPainter p(&image);
        const auto surface = GlyphCells::surface(p, image.rect());
        QVERIFY(surface);
        auto paint = [&](qsizetype count) {
            cells.beginPaint();
            const std::vector<qreal> edges(size_t(count) + 1, 0.0);
            for (QRgb bg : {qRgb(255, 255, 255), qRgb(0, 0, 128)})
                for (int quarter = 0; quarter < 4; ++quarter) {
                    int inkEnd = GlyphCells::kNoInk;
                    cells.drawRun(*surface, glyphs.constData(), edges.data(), 0, int(count),
                                  8 + quarter / 4.0, 0, qRgb(0, 0, 0), bg, 0, 64, inkEnd);
                }
        };
        paint(glyphs.size());
        const std::size_t made = cells.made();
        QCOMPARE(cells.size(), size_t(glyphs.size()) * 8);
        paint(glyphs.size());
        QCOMPARE(cells.made(), made);
        paint(10);
        paint(10);
        QVERIFY(cells.size() <= GlyphCells::kMaxCells);
    }

    // What the box paints into its window is what Qt itself draws for it.
    void paintedPixelsMatch()
    {
        box->appendReceivedText(
            QString::fromUtf8("temperature=23.5 humidity=41 状态=OK\r\n").repeated(20));
        box->appendReceivedHex(QByteArray("\x00\x5a\xff\x13", 4).repeated(40));
        box->setSelection(100, 260);
        box->clearFocus(); // no caret blinking between the two looks
        QTest::qWait(50);
        QWidget *viewport = box->viewport();
        const QImage window = box->screen()->grabWindow(box->winId()).toImage();
        const QImage shown =
            window.copy(QRect(viewport->mapTo(box.get(), QPoint(0, 0)), viewport->size()));
        // Drawn by Qt alone: a painter with a clip of its own is never bypassed.
        QImage drawn(shown.size(), shown.format());
        {
            QPainter p(&drawn);
            p.setClipRect(drawn.rect());
            viewport->render(&p, QPoint(), QRegion(), QWidget::DrawWindowBackground);
        }
        QCOMPARE(shown.size(), drawn.size());
        QVERIFY(largestDifference(shown, drawn) <= 1);
    }

    // Hex pairs wrap between pairs; the scroll bar covers every row and follows
    // the caret to the newest data.
    void wrappingAndScrolling()
    {
        QByteArray bytes(3000, '\x5a');
        box->appendReceivedHex(bytes);
        QTRY_VERIFY(box->verticalScrollBar()->maximum() > 0);
        QVERIFY(box->rowCount() > 20);
        QCOMPARE(box->textRange(0, 6), QStringLiteral("5A 5A "));
        QCOMPARE(box->length(), 9000);
        for (qint64 r = 1; r < box->rowCount(); ++r)
            QCOMPARE(box->rowStart(r) % 3, 0);
        QTRY_COMPARE(box->verticalScrollBar()->value(), box->verticalScrollBar()->maximum());
        QCOMPARE(box->verticalScrollBar()->maximum() + box->verticalScrollBar()->pageStep(),
                 int(box->rowCount()));
        // The drawn row is as wide as the advances the wrap used.
        const QFontMetricsF fm(box->font());
        const QString pairs = QString::fromUtf8("5A 0F C3 中文 Wij,.");
        qreal sum = 0;
        for (QChar c : pairs)
            sum += fm.horizontalAdvance(c);
        QTextLayout layout(pairs, box->font());
        layout.beginLayout();
        QTextLine line = layout.createLine();
        line.setLineWidth(1e6);
        layout.endLayout();
        QVERIFY2(std::abs(line.naturalTextWidth() - sum) < 0.5,
                 qPrintable(QString("%1 drawn, %2 summed").arg(line.naturalTextWidth()).arg(sum)));
    }

    // A million characters drawn as nothing (a line that only returns, a line
    // in break) wrap like any others: no row holds more than a screenful's worth.
    void invisibleFloodsStayInShortRows()
    {
        for (char16_t c : {u'\r', u'\0'}) {
            box->clear();
            box->appendReceivedText(QString(1'000'000, QChar(c)));
            QVERIFY(box->rowCount() >= 1'000'000 / DisplayLayout::kMaxRowChars);
            QVERIFY(box->rowStart(1) <= DisplayLayout::kMaxRowChars);
            box->repaint(); // drawn in a moment, whatever the caret's row
        }
    }

    void accessibleText()
    {
        ReceiveDisplay::setAnnouncer(recordEvent);
        s_events.clear();
        s_inserted.clear();
        box->appendReceivedText(u"RX 中");
        box->appendReceivedHex(QByteArray("\xff", 1));
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(box.get());
        QVERIFY(iface);
        QCOMPARE(iface->role(), QAccessible::EditableText);
        QAccessibleTextInterface *text = iface->textInterface();
        QVERIFY(text);
        QCOMPARE(text->characterCount(), 7);
        QCOMPARE(text->text(0, 7), QString::fromUtf8("RX 中FF "));
        QCOMPARE(text->cursorPosition(), 7);
        box->setSelection(1, 4);
        int s = -1, e = -1;
        text->selection(0, &s, &e);
        QCOMPARE(QPair(s, e), QPair(1, 4));
        QCOMPARE(s_inserted, (QList<QString>{QString::fromUtf8("RX 中"), QStringLiteral("FF ")}));
        QVERIFY(s_events.contains(QAccessible::TextSelectionChanged));
        iface->editableTextInterface()->insertText(0, QStringLiteral(">"));
        QCOMPARE(box->text(), QString::fromUtf8(">RX 中FF "));
        ReceiveDisplay::setAnnouncer(nullptr);
    }

    // A display too large to ask for whole: the clipboard keeps what it had and
    // cut removes nothing; assistive technology gets bounded stretches, and the
    // words at the far end are still found.
    void hugeContentIsNeverAskedForWhole()
    {
        const qint64 bytes = ReceiveDisplay::kMaxCopyChars / 3 + 1;
        box->appendReceivedHex(QByteArray(bytes, '\x5a'));
        box->appendReceivedText(u"\r\nend word");
        const qint64 size = box->length();
        QApplication::clipboard()->setText(QStringLiteral("kept"));
        box->selectAll();
        QVERIFY(!box->copy());
        box->cut();
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("kept"));
        QCOMPARE(box->length(), size);
        QVERIFY(static_cast<QWidget *>(box.get())
                    ->inputMethodQuery(Qt::ImCurrentSelection)
                    .toString()
                    .isEmpty());

        QAccessibleTextInterface *text =
            QAccessible::queryAccessibleInterface(box.get())->textInterface();
        QCOMPARE(text->text(0, text->characterCount()).size(), ReceiveDisplay::kMaxTextChars);
        int s = -1, e = -1;
        QCOMPARE(text->textAtOffset(int(size) - 2, QAccessible::WordBoundary, &s, &e),
                 QStringLiteral("word"));
        QCOMPARE(QPair(s, e), QPair(int(size) - 4, int(size)));

        box->setSelection(size - 4, size); // a small selection still copies
        QVERIFY(box->copy());
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("word"));
    }
};

QTEST_MAIN(TestReceiveDisplay)
#include "test_receive_display.moc"
