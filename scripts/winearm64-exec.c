// Preloaded into Wine for ARM64 while qemu-user runs it on another processor
// (see scripts/install-deps). Wine starts every new process, its server's
// included, by executing an AArch64 program, which this kernel cannot run:
// such an exec becomes an exec of qemu-user on that program, under the same
// name. Any other exec, such as the loader's preloader, which this Wine lacks,
// goes through as it is and fails or succeeds as it would. The preloading and
// the library path are not passed on, since qemu and the host's own programs
// are not AArch64 ones; QEMU_SET_ENV hands both to each AArch64 program again.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#ifndef QEMU_AARCH64
#define QEMU_AARCH64 "/usr/bin/qemu-aarch64"
#endif

enum { MAX_ARGS = 256, MAX_ENV = 1024 };

extern char **environ;

static int is_aarch64(char const *path) {
  Elf64_Ehdr header;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ssize_t got = read(fd, &header, sizeof header);
  close(fd);
  return got == (ssize_t)sizeof header && memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
         header.e_machine == EM_AARCH64;
}

int execve(char const *path, char *const argv[], char *const envp[]) {
  int (*real)(char const *, char *const[], char *const[]) = dlsym(RTLD_NEXT, "execve");
  char *env[MAX_ENV];
  size_t kept = 0;
  for (size_t i = 0; envp[i] != NULL; ++i) {
    if (kept + 1 == MAX_ENV) return errno = E2BIG, -1;
    if (strncmp(envp[i], "LD_PRELOAD=", 11) != 0 && strncmp(envp[i], "LD_LIBRARY_PATH=", 16) != 0) {
      env[kept++] = envp[i];
    }
  }
  env[kept] = NULL;
  if (!is_aarch64(path)) return real(path, argv, env);
  char *args[MAX_ARGS] = {QEMU_AARCH64};
  size_t count = 1;
  if (argv[0] != NULL) {
    args[count++] = "-0";
    args[count++] = argv[0];
  }
  args[count++] = (char *)path;
  for (size_t i = 1; argv[0] != NULL && argv[i] != NULL; ++i) {
    if (count + 1 == MAX_ARGS) return errno = E2BIG, -1;
    args[count++] = argv[i];
  }
  args[count] = NULL;
  return real(QEMU_AARCH64, args, env);
}

int execv(char const *path, char *const argv[]) { return execve(path, argv, environ); }

// Wine opens FreeType by name, and writes a notice on every program's
// standard error where it finds none; with Debian's FreeType under qemu-user
// the desktop process fails, and every program that looks for the desktop
// starts another, without end. This library therefore also stands in for
// FreeType (install-deps links it under FreeType's name): each function Wine
// looks up is here, and the first Wine calls, FT_Init_FreeType, fails, after
// which Wine goes on without fonts and says so only in its own log.
#define FREETYPE_STAND_IN(name) \
  int name(void) { return 1; }
FREETYPE_STAND_IN(FT_Done_Face)
FREETYPE_STAND_IN(FT_Get_Char_Index)
FREETYPE_STAND_IN(FT_Get_First_Char)
FREETYPE_STAND_IN(FT_Get_Next_Char)
FREETYPE_STAND_IN(FT_Get_Sfnt_Name)
FREETYPE_STAND_IN(FT_Get_Sfnt_Name_Count)
FREETYPE_STAND_IN(FT_Get_Sfnt_Table)
FREETYPE_STAND_IN(FT_Get_TrueType_Engine_Type)
FREETYPE_STAND_IN(FT_Get_WinFNT_Header)
FREETYPE_STAND_IN(FT_Init_FreeType)
FREETYPE_STAND_IN(FT_Library_SetLcdFilter)
FREETYPE_STAND_IN(FT_Library_Version)
FREETYPE_STAND_IN(FT_Load_Glyph)
FREETYPE_STAND_IN(FT_Load_Sfnt_Table)
FREETYPE_STAND_IN(FT_Matrix_Multiply)
FREETYPE_STAND_IN(FT_MulDiv)
FREETYPE_STAND_IN(FT_MulFix)
FREETYPE_STAND_IN(FT_New_Face)
FREETYPE_STAND_IN(FT_New_Memory_Face)
FREETYPE_STAND_IN(FT_Outline_Embolden)
FREETYPE_STAND_IN(FT_Outline_Get_Bitmap)
FREETYPE_STAND_IN(FT_Outline_Get_CBox)
FREETYPE_STAND_IN(FT_Outline_Transform)
FREETYPE_STAND_IN(FT_Outline_Translate)
FREETYPE_STAND_IN(FT_Property_Set)
FREETYPE_STAND_IN(FT_Render_Glyph)
FREETYPE_STAND_IN(FT_Set_Charmap)
FREETYPE_STAND_IN(FT_Set_Pixel_Sizes)
FREETYPE_STAND_IN(FT_Vector_Length)
FREETYPE_STAND_IN(FT_Vector_Transform)
FREETYPE_STAND_IN(FT_Vector_Unit)
