// Scales one picture of the artwork to the sizes of the desktop's icon theme:
// <theme>/<N>x<N>/apps/<name>.png for each size N. Run by the build.
//
//   portvane_scale_icon <picture.png> <name> <theme folder> <size>...
#include <QDir>
#include <QImage>
#include <QString>
#include <cstdio>

int main(int argc, char* argv[]) {
  if (argc < 5) {
    fprintf(stderr, "usage: portvane_scale_icon <picture.png> <name> <theme folder> <size>...\n");
    return 2;
  }
  const QString picture = QString::fromLocal8Bit(argv[1]);
  const QString name = QString::fromLocal8Bit(argv[2]);
  const QString theme = QString::fromLocal8Bit(argv[3]);

  const QImage source = QImage(picture).convertToFormat(QImage::Format_ARGB32);
  if (source.isNull()) {
    fprintf(stderr, "portvane_scale_icon: cannot read %s\n", argv[1]);
    return 1;
  }
  for (int i = 4; i < argc; ++i) {
    bool number = false;
    const int side = QString::fromLatin1(argv[i]).toInt(&number);
    if (!number || side <= 0) {
      fprintf(stderr, "portvane_scale_icon: %s is no size\n", argv[i]);
      return 2;
    }
    const QString folder = QStringLiteral("%1/%2x%2/apps").arg(theme).arg(side);
    const QString path = QStringLiteral("%1/%2.png").arg(folder, name);
    const QImage scaled = source.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (!QDir().mkpath(folder) || !scaled.save(path, "PNG")) {
      fprintf(stderr, "portvane_scale_icon: cannot write %s\n", path.toLocal8Bit().constData());
      return 1;
    }
  }
  return 0;
}
