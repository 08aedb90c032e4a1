// Turns one of the XPM pictures into PNG for the icon theme at install time.
//   xpm_to_png IN.xpm OUT.png
#include <QImage>
#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s IN.xpm OUT.png\n", argv[0]);
        return 2;
    }
    const QImage image(QString::fromLocal8Bit(argv[1]));
    if (image.isNull() || !image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "%s: cannot convert %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}
