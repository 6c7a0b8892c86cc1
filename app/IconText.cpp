#include "app/IconText.h"

#include <QHBoxLayout>
#include <QLabel>

#include "app/Icons.h"
#include "app/ScreenParts.h"

namespace lumifold::app {

IconText::IconText(const QString& objectName, QWidget* parent)
    : QWidget(parent), m_icon(new QLabel), m_text(new QLabel) {
    setObjectName(objectName);
    m_text->setObjectName(objectName + QStringLiteral("Text"));
    m_text->setWordWrap(true);
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_icon, 0, Qt::AlignTop);
    layout->addWidget(m_text, 1);
}

void IconText::set(std::string_view symbol, const QString& text, const QColor& color) {
    m_icon->setPixmap(symbolIcon(symbol).pixmap(16, 16));
    m_text->setText(text);
    // Against this line's own palette: the text's is the last colour set.
    const QPalette own = this->palette();
    QPalette palette = m_text->palette();
    palette.setColor(QPalette::WindowText, color.isValid() ? parts::readable(color, own)
                                                           : own.color(QPalette::WindowText));
    m_text->setPalette(palette);
}

QString IconText::text() const { return m_text->text(); }

}  // namespace lumifold::app
