// The baseline of the window benchmark (ui_bench.sh): an empty Qt window of the launcher's size, shown the
// same way, that confirms its start through ORLEX_LAUNCHER_HANDSHAKE as the launcher does.
//   orlex-empty-window
#include <QApplication>
#include <QWidget>
#include <cstdlib>
#include <fstream>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowTitle("Empty window");
    window.resize(1180, 720);
    window.show();
    if (const char* handshake = std::getenv("ORLEX_LAUNCHER_HANDSHAKE"))
        std::ofstream(handshake, std::ios::binary | std::ios::trunc) << QCoreApplication::applicationPid();
    return QApplication::exec();
}
