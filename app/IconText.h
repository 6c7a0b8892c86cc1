#pragma once

#include <QColor>
#include <QString>
#include <QWidget>
#include <string_view>

class QLabel;

namespace lumifold::app {

// One line of a screen with an icon before its text ("Active file transfer detected!"), whose
// icon and text change together with the state it reports.
class IconText final : public QWidget {
    Q_OBJECT

  public:
    explicit IconText(const QString& objectName, QWidget* parent = nullptr);

    // An invalid colour keeps the palette's text colour; a valid one is made readable.
    void set(std::string_view symbol, const QString& text, const QColor& color = {});
    QString text() const;
    QLabel* label() const { return m_text; }

  private:
    QLabel* m_icon;
    QLabel* m_text;
};

}  // namespace lumifold::app
