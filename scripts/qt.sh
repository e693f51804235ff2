# Sourced by the scripts: the Qt to build with (QT_MAJOR_VERSION, 5 by default) and the folder
# to build in (BUILD_DIR, build/ for Qt 5 and build-qt6/ for Qt 6 by default).
QT_MAJOR_VERSION=${QT_MAJOR_VERSION:-5}
case $QT_MAJOR_VERSION in
5) BUILD_DIR=${BUILD_DIR:-build} ;;
6) BUILD_DIR=${BUILD_DIR:-build-qt6} ;;
*) echo "QT_MAJOR_VERSION is 5 or 6, not $QT_MAJOR_VERSION" >&2 && exit 2 ;;
esac
export QT_MAJOR_VERSION BUILD_DIR
