#include "app/Icons.h"

#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QStyle>
#include <algorithm>
#include <array>

namespace lumifold::app {
namespace {

struct SymbolIcon {
    std::string_view symbol;
    const char* themeName;
    QStyle::StandardPixmap fallback;
};

constexpr std::array kIcons{
    SymbolIcon{"magnifyingglass", "edit-find", QStyle::SP_FileDialogContentsView},
    SymbolIcon{"doc.text.magnifyingglass", "document-print-preview",
               QStyle::SP_FileDialogDetailedView},
    SymbolIcon{"play.circle.fill", "media-playback-start", QStyle::SP_MediaPlay},
    SymbolIcon{"checkmark.seal", "security-high", QStyle::SP_DialogApplyButton},
    SymbolIcon{"arrow.counterclockwise.circle", "document-revert", QStyle::SP_DialogResetButton},
    SymbolIcon{"repeat.circle", "media-playlist-repeat", QStyle::SP_BrowserReload},
    SymbolIcon{"arrow.clockwise", "view-refresh", QStyle::SP_BrowserReload},
    SymbolIcon{"macbook.and.iphone", "computer", QStyle::SP_ComputerIcon},
    SymbolIcon{"folder", "folder", QStyle::SP_DirIcon},
    SymbolIcon{"exclamationmark.triangle.fill", "dialog-warning", QStyle::SP_MessageBoxWarning},
    SymbolIcon{"checkmark.circle.fill", "emblem-default", QStyle::SP_DialogApplyButton},
    SymbolIcon{"arrow.triangle.2.circlepath", "view-refresh", QStyle::SP_BrowserReload},
    SymbolIcon{"gearshape", "preferences-system", QStyle::SP_FileDialogInfoView},
    SymbolIcon{"pencil.circle", "document-edit", QStyle::SP_FileDialogDetailedView},
    SymbolIcon{"shield.checkerboard", "security-medium", QStyle::SP_DriveHDIcon},
    SymbolIcon{"arrow.right", "go-next", QStyle::SP_ArrowRight},
    SymbolIcon{"arrow.clockwise.circle", "view-refresh", QStyle::SP_BrowserReload},
    SymbolIcon{"exclamationmark.octagon.fill", "dialog-error", QStyle::SP_MessageBoxCritical},
    SymbolIcon{"checkmark.shield", "security-high", QStyle::SP_DialogApplyButton},
    SymbolIcon{"lock.shield", "drive-harddisk", QStyle::SP_DriveHDIcon},
    SymbolIcon{"xmark.octagon.fill", "dialog-error", QStyle::SP_MessageBoxCritical},
    SymbolIcon{"play.fill", "media-playback-start", QStyle::SP_MediaPlay},
    SymbolIcon{"xmark.circle.fill", "dialog-cancel", QStyle::SP_DialogCancelButton},
    SymbolIcon{"xmark.circle", "window-close", QStyle::SP_DialogCloseButton},
    SymbolIcon{"clock.arrow.circlepath", "document-open-recent", QStyle::SP_FileDialogBack},
    SymbolIcon{"shield", "security-medium", QStyle::SP_DriveHDIcon},
    SymbolIcon{"arrow.counterclockwise", "edit-undo", QStyle::SP_ArrowBack},
    SymbolIcon{"timer", "appointment-soon", QStyle::SP_BrowserReload},
    SymbolIcon{"gear.badge.checkmark", "system-run", QStyle::SP_ComputerIcon},
    SymbolIcon{"folder.badge.gearshape", "folder-open", QStyle::SP_DirOpenIcon},
    SymbolIcon{"checkmark.circle", "emblem-default", QStyle::SP_DialogApplyButton},
};

constexpr std::array kSymbols = [] {
    std::array<std::string_view, kIcons.size()> symbols{};
    for (std::size_t i = 0; i < kIcons.size(); ++i) symbols[i] = kIcons[i].symbol;
    return symbols;
}();

}  // namespace

QIcon symbolIcon(std::string_view symbol) {
    const auto* found = std::find_if(kIcons.begin(), kIcons.end(),
                                     [&](const SymbolIcon& icon) { return icon.symbol == symbol; });
    if (found == kIcons.end()) return {};
    return QIcon::fromTheme(QString::fromLatin1(found->themeName),
                            QApplication::style()->standardIcon(found->fallback));
}

QIcon tintedSymbolIcon(std::string_view symbol, const QColor& color) {
    QPixmap pixmap = symbolIcon(symbol).pixmap(32, 32);
    if (pixmap.isNull()) return {};
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), color);
    return QIcon(pixmap);
}

std::span<const std::string_view> knownSymbols() { return kSymbols; }

}  // namespace lumifold::app
