#include "Pictograms.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <cmath>
#include <numbers>

namespace {

// Drawn on a 64 x 64 grid; the icon engine scales the pixmap to the button.
constexpr int grid = 64;

const QColor ink(0x1d, 0x26, 0x30);
const QColor paper(0xfb, 0xfc, 0xfd);
const QColor steel(0x5d, 0x72, 0x88);
const QColor teal(0x1f, 0x8a, 0x84);
const QColor amber(0xe0, 0x9a, 0x1e);
const QColor brick(0xb8, 0x3a, 0x2e);
const QColor leaf(0x3a, 0x8c, 0x3f);

QPen outline(qreal width = 3.0) {
    return QPen(ink, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void drawGear(QPainter& p) {
    QPainterPath gear;
    const QPointF c(32, 32);
    const int teeth = 8;
    for (int i = 0; i < teeth * 2; ++i) {
        qreal a0 = (i - 0.5) * std::numbers::pi / teeth, a1 = (i + 0.5) * std::numbers::pi / teeth;
        qreal r = i % 2 == 0 ? 27 : 20;
        QPointF p0 = c + QPointF(std::cos(a0) * r, std::sin(a0) * r);
        QPointF p1 = c + QPointF(std::cos(a1) * r, std::sin(a1) * r);
        if (i == 0)
            gear.moveTo(p0);
        else
            gear.lineTo(p0);
        gear.lineTo(p1);
    }
    gear.closeSubpath();
    gear.addEllipse(c, 8, 8);
    gear.setFillRule(Qt::OddEvenFill);
    p.setPen(outline(2.5));
    p.setBrush(steel);
    p.drawPath(gear);
}

void drawEcho(QPainter& p) {
    // Two stations exchanging a signal, with the verification tick between them.
    p.setPen(outline(2.5));
    p.setBrush(steel);
    p.drawRoundedRect(QRectF(4, 22, 12, 20), 2, 2);
    p.drawRoundedRect(QRectF(48, 22, 12, 20), 2, 2);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(teal, 3, Qt::SolidLine, Qt::RoundCap));
    for (int r : {8, 14}) {
        p.drawArc(QRectF(16 - r, 32 - r, 2 * r, 2 * r), -50 * 16, 100 * 16);
        p.drawArc(QRectF(48 - r, 32 - r, 2 * r, 2 * r), 130 * 16, 100 * 16);
    }
    p.setPen(QPen(leaf, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF({QPointF(24, 52), QPointF(30, 58), QPointF(41, 45)}));
}

void drawCylinder(QPainter& p, QRectF body) {
    const qreal lid = 10;
    QPainterPath side;
    side.moveTo(body.left(), body.top() + lid / 2);
    side.lineTo(body.left(), body.bottom() - lid / 2);
    side.arcTo(QRectF(body.left(), body.bottom() - lid, body.width(), lid), 180, 180);
    side.lineTo(body.right(), body.top() + lid / 2);
    side.arcTo(QRectF(body.left(), body.top(), body.width(), lid), 0, -180);
    p.setPen(outline(2.5));
    p.setBrush(steel);
    p.drawPath(side);
    p.setBrush(steel.lighter(140));
    p.drawEllipse(QRectF(body.left(), body.top(), body.width(), lid));
}

void drawStore(QPainter& p) {
    drawCylinder(p, QRectF(8, 26, 48, 32));
    p.setPen(QPen(ink, 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(amber);
    p.drawPolygon(QPolygonF({QPointF(25, 4), QPointF(39, 4), QPointF(39, 16), QPointF(46, 16),
                             QPointF(32, 30), QPointF(18, 16), QPointF(25, 16)}));
}

void drawQuery(QPainter& p) {
    drawCylinder(p, QRectF(4, 6, 36, 28));
    p.setPen(QPen(ink, 7, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(47, 47), QPointF(58, 58));
    p.setPen(outline(4));
    p.setBrush(QColor(0xd8, 0xee, 0xf5));
    p.drawEllipse(QPointF(37, 37), 13, 13);
}

void drawWorklist(QPainter& p) {
    p.setPen(outline(2.5));
    p.setBrush(QColor(0xa0, 0x7a, 0x4e));
    p.drawRoundedRect(QRectF(10, 6, 44, 54), 4, 4);
    p.setBrush(paper);
    p.drawRect(QRectF(15, 13, 34, 42));
    p.setBrush(steel);
    p.drawRoundedRect(QRectF(22, 2, 20, 9), 2, 2);
    for (int i = 0; i < 4; ++i) {
        qreal y = 21 + i * 9;
        p.setPen(QPen(teal, 3, Qt::SolidLine, Qt::RoundCap));
        p.drawPoint(QPointF(20, y));
        p.setPen(QPen(ink, 2.5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(25, y), QPointF(44, y));
    }
}

void drawPrint(QPainter& p) {
    p.setPen(outline(2.5));
    p.setBrush(paper);
    p.drawRect(QRectF(18, 4, 28, 20));
    p.setBrush(steel);
    p.drawRoundedRect(QRectF(6, 20, 52, 26), 4, 4);
    p.setBrush(paper);
    p.drawRect(QRectF(16, 38, 32, 22));
    // A film with an image on it.
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawRect(QRectF(20, 42, 24, 14));
    p.setBrush(QColor(0xc8, 0xd0, 0xd8));
    p.drawEllipse(QRectF(26, 44, 12, 10));
    p.setBrush(leaf);
    p.drawEllipse(QPointF(51, 27), 2.5, 2.5);
}

void drawDump(QPainter& p) {
    QPainterPath page;
    page.moveTo(12, 4);
    page.lineTo(40, 4);
    page.lineTo(52, 16);
    page.lineTo(52, 60);
    page.lineTo(12, 60);
    page.closeSubpath();
    p.setPen(outline(2.5));
    p.setBrush(paper);
    p.drawPath(page);
    p.setBrush(QColor(0xc8, 0xd0, 0xd8));
    p.drawPolygon(QPolygonF({QPointF(40, 4), QPointF(40, 16), QPointF(52, 16)}));
    // Tag column and value column, as the dump lines look.
    for (int i = 0; i < 5; ++i) {
        qreal y = 24 + i * 7;
        p.setPen(QPen(teal, 3, Qt::SolidLine, Qt::FlatCap));
        p.drawLine(QPointF(17, y), QPointF(27, y));
        p.setPen(QPen(ink, 3, Qt::SolidLine, Qt::FlatCap));
        p.drawLine(QPointF(31, y), QPointF(i % 2 ? 41 : 47, y));
    }
}

void drawAbout(QPainter& p) {
    p.setPen(outline(3));
    p.setBrush(steel);
    p.drawEllipse(QPointF(32, 32), 27, 27);
    p.setPen(Qt::NoPen);
    p.setBrush(paper);
    p.drawEllipse(QPointF(32, 18), 4.5, 4.5);
    p.drawRoundedRect(QRectF(27.5, 27, 9, 23), 2, 2);
}

void drawEnd(QPainter& p) {
    p.setPen(outline(2.5));
    p.setBrush(brick);
    p.drawEllipse(QPointF(32, 32), 27, 27);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(paper, 6, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(17, 18, 30, 30), 120 * 16, 300 * 16);
    p.drawLine(QPointF(32, 12), QPointF(32, 32));
}

void drawWorkflow(QPainter& p) {
    // Three steps in a row, each checked off, joined by the way the procedure goes.
    p.setPen(QPen(steel, 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(18, 32), QPointF(24, 32));
    p.drawLine(QPointF(40, 32), QPointF(46, 32));
    for (qreal x : {2.0, 24.0, 46.0}) {
        p.setPen(outline(2.5));
        p.setBrush(x < 40 ? leaf : amber);
        p.drawRoundedRect(QRectF(x, 24, 16, 16), 3, 3);
        p.setPen(QPen(paper, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        if (x < 40) {
            QPainterPath tick;
            tick.moveTo(x + 4, 32);
            tick.lineTo(x + 7, 36);
            tick.lineTo(x + 12, 28);
            p.setBrush(Qt::NoBrush);
            p.drawPath(tick);
        } else {
            p.drawPoint(QPointF(x + 8, 32));
        }
    }
    p.setPen(outline(2.5));
    p.setBrush(paper);
    p.drawRoundedRect(QRectF(10, 46, 44, 10), 3, 3);
    p.setBrush(teal);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(12, 48, 26, 6), 2, 2);
}

QPixmap draw(Pictogram which, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(qreal(size) / grid, qreal(size) / grid);
    switch (which) {
    case Pictogram::Setup:
        drawGear(p);
        break;
    case Pictogram::Echo:
        drawEcho(p);
        break;
    case Pictogram::Store:
        drawStore(p);
        break;
    case Pictogram::Query:
        drawQuery(p);
        break;
    case Pictogram::Worklist:
        drawWorklist(p);
        break;
    case Pictogram::Print:
        drawPrint(p);
        break;
    case Pictogram::Dump:
        drawDump(p);
        break;
    case Pictogram::About:
        drawAbout(p);
        break;
    case Pictogram::End:
        drawEnd(p);
        break;
    case Pictogram::Workflow:
        drawWorkflow(p);
        break;
    }
    return pixmap;
}

} // namespace

QIcon PictogramIcon(Pictogram which) {
    QIcon icon;
    for (int size : {32, 40, 64, 80})
        icon.addPixmap(draw(which, size));
    return icon;
}
