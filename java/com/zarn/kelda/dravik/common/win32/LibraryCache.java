package com.zarn.kelda.dravik.common.win32;

import java.io.Closeable;
import java.io.File;
import java.io.FileInputStream;
import java.io.FileNotFoundException;
import java.io.IOException;
import java.math.BigInteger;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.channels.OverlappingFileLockException;
import java.nio.charset.Charset;
import java.nio.file.AccessDeniedException;
import java.nio.file.DirectoryStream;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystem;
import java.nio.file.FileSystemException;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.OpenOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryFlag;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.Collections;
import java.util.EnumSet;
import java.util.List;
import java.util.concurrent.ThreadLocalRandom;

/**
 * The cache folder of the jar's libraries: {@code <root>/<version>/<folder>/}, where a copy of the
 * jar's library is written, verified, held until it is loaded, and cleaned away when old.
 *
 * <p>Below the root, which is resolved to its real path once, no folder and no file that the
 * loader uses may be a link or a junction: Windows resolves a path again when it loads a DLL, so
 * a link that another process re-aims between the check and the load would have it load a file
 * that was never checked. Holding a file pins every folder above it: Windows refuses to rename or
 * delete a folder while a file below it is open.
 */
final class LibraryCache {
    /** A temporary file or a class loader's own copy this old is no longer being written or loaded. */
    private static final long ONE_MINUTE = 60_000;
    /** A copy of another version or build this old is no longer wanted by a JVM starting now. */
    private static final long ONE_DAY = 24 * 3600_000;
    private static final LinkOption NOFOLLOW = LinkOption.NOFOLLOW_LINKS;

    private final Path root;
    private final Path dir;

    private LibraryCache(Path root, Path dir) {
        this.root = root;
        this.dir = dir;
    }

    /** The bytes of a library and their SHA-256 hash. */
    static final class Content {
        final String folder;
        final byte[] bytes;
        final byte[] hash;

        Content(String folder, byte[] bytes) {
            this.folder = folder;
            this.bytes = bytes;
            this.hash = sha256().digest(bytes);
        }

        /** The first 16 hexadecimal digits of the hash: enough to tell two builds apart. */
        String hashStart() {
            return String.format("%016x", new BigInteger(1, hash).shiftRight(192));
        }
    }

    /**
     * The cache for one version and architecture folder, its folders made where missing. Fails,
     * naming it, when one of them is a link or a junction.
     */
    static LibraryCache open(String version, String folder) throws IOException {
        Path root = root();
        Path dir = root.resolve(version).resolve(folder);
        createFolder(dir.getParent());
        createFolder(dir);
        return new LibraryCache(root, dir);
    }

    /** Where the copy of the content goes: its name carries the start of its hash. */
    Path copyName(Content content) {
        return dir.resolve("zarnwin32-" + content.hashStart() + ".dll");
    }

    /**
     * Holds a file of the cache, or gives null when there is no plain file of that name (none, or a
     * link, which a new copy then replaces). Once the file is held, its folders can no longer be
     * renamed: they are checked then, and the file with them.
     */
    Held hold(Path file) throws IOException {
        if (!isPlainFile(file)) {
            return null;
        }
        Held held;
        try {
            held = Held.open(file);
        } catch (NoSuchFileException e) {
            return null;
        }
        try {
            for (Path path = file; !path.equals(root); path = path.getParent()) {
                if (path == file ? !isPlainFile(path) : !isPlainFolder(path)) {
                    throw linked(path);
                }
            }
            return held;
        } catch (IOException | RuntimeException e) {
            held.close();
            throw e;
        }
    }

    /**
     * Puts a copy of the content at the target: written to a temporary file of its own and renamed
     * into place in one step, so that no process ever sees a partial file.
     */
    void write(Path target, Content content) throws IOException {
        Path temporary = dir.resolve("zarnwin32-" + unique() + ".tmp");
        try {
            writeNew(temporary, content);
            retried(() -> Files.move(temporary, target, StandardCopyOption.ATOMIC_MOVE));
        } finally {
            Files.deleteIfExists(temporary);
        }
    }

    /**
     * A copy of the content under a name of its own, for a class loader that cannot load the
     * shared copy: a JVM lets only one class loader load a given file.
     */
    Path ownCopy(Content content) throws IOException {
        Path file = dir.resolve("zarnwin32-" + content.hashStart() + "-" + unique() + ".dll");
        writeNew(file, content);
        return file;
    }

    private static void writeNew(Path file, Content content) throws IOException {
        try (FileChannel out = FileChannel.open(file, StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE)) {
            for (ByteBuffer buffer = ByteBuffer.wrap(content.bytes); buffer.hasRemaining(); ) {
                out.write(buffer);
            }
        }
    }

    private static String unique() {
        return Long.toString(ThreadLocalRandom.current().nextLong() & Long.MAX_VALUE, 36);
    }

    /**
     * Removes what earlier runs left in the cache: copies of other versions and builds older than a
     * day, class loaders' own copies and temporary files older than a minute, then the folders left
     * empty. Windows refuses to delete a DLL that a process has loaded or holds, and a folder that
     * is not empty; those stay, without a word. Never touches the file loaded, nor follows a link.
     */
    void clean(Path loaded) {
        long now = System.currentTimeMillis();
        for (Path version : list(root, true)) {
            for (Path folder : list(version, true)) {
                for (Path file : list(folder, false)) {
                    if (!file.equals(loaded) && isPlainFile(file) && now - lastChange(file) > keepFor(file.getFileName().toString())) {
                        deleteQuietly(file);
                    }
                }
                if (!folder.equals(dir)) {
                    deleteQuietly(folder);
                }
            }
            if (!version.equals(dir.getParent())) {
                deleteQuietly(version);
            }
        }
    }

    /** How long a file of the cache is kept after its last change, by its name. */
    private static long keepFor(String name) {
        if (name.matches("zarnwin32-[0-9a-f]{16}\\.dll")) {
            return ONE_DAY;
        }
        if (name.matches("zarnwin32-[0-9a-f]{16}-[0-9a-z]+\\.dll") || name.matches("zarnwin32-[0-9a-z]+\\.tmp")) {
            return ONE_MINUTE;
        }
        return Long.MAX_VALUE;
    }

    /** The entries of a folder: its plain folders, or its other entries; none when it cannot be listed. */
    private static List<Path> list(Path folder, boolean folders) {
        List<Path> entries = new ArrayList<>();
        try (DirectoryStream<Path> stream = Files.newDirectoryStream(folder)) {
            for (Path entry : stream) {
                if (isPlainFolder(entry) == folders) {
                    entries.add(entry);
                }
            }
        } catch (IOException | RuntimeException e) {
            // A folder that cannot be listed is not cleaned; the load that went before stands.
        }
        return entries;
    }

    private static long lastChange(Path file) {
        try {
            return Files.getLastModifiedTime(file, NOFOLLOW).toMillis();
        } catch (IOException e) {
            return Long.MAX_VALUE;
        }
    }

    private static void deleteQuietly(Path path) {
        try {
            Files.delete(path);
        } catch (IOException e) {
            // Loaded, held, not empty or gone already: it stays, or another JVM removed it.
        }
    }

    /**
     * The cache root, as a real path: the system property, else %LOCALAPPDATA%\zarnwin32, else
     * ~/.zarnwin32; it must be absolute, since a relative one would depend on the directory the JVM
     * happens to start in. Made when missing.
     */
    static Path root() throws IOException {
        String root = System.getProperty(ZarnWin32.CACHE_PROPERTY, "");
        String source = "-D" + ZarnWin32.CACHE_PROPERTY;
        String local = System.getenv("LOCALAPPDATA");
        if (root.isEmpty() && local != null && !local.isEmpty()) {
            root = local + File.separator + "zarnwin32";
            source = "LOCALAPPDATA";
        } else if (root.isEmpty()) {
            root = System.getProperty("user.home", "") + File.separator + ".zarnwin32";
            source = "user.home";
        }
        Path path;
        try {
            path = Paths.get(encodable(root));
        } catch (InvalidPathException e) {
            throw new IOException(unencodable(root), e);
        }
        if (!path.isAbsolute()) {
            throw new IOException("the cache folder " + root + " (from " + source + ") is not an absolute path;"
                    + " start the JVM with -D" + ZarnWin32.CACHE_PROPERTY + "=<an absolute folder>");
        }
        if (!Files.isDirectory(path)) {
            Files.createDirectories(path, ownerOnly());
        }
        // JDK 8 to 16 load a library by its canonical path, in which Windows' 8.3 short names are
        // long again: the real path is the one to check.
        Path real = path.toRealPath();
        encodable(real.toString());
        return real;
    }

    /**
     * The path, when the JVM can hand it to Windows' loader. Up to Java 16, System.load on Windows
     * turns the path into bytes of the encoding sun.jnu.encoding names (the ANSI code page), and
     * Windows looks for the file by those bytes: a character the code page lacks (a Cyrillic user
     * name on an English Windows) makes a path that names no file. Java 17 passes the path in
     * UTF-16. The JDK on Unix passes every path as bytes of sun.jnu.encoding.
     */
    private static String encodable(String path) throws IOException {
        String encoding = System.getProperty("sun.jnu.encoding");
        // Class file version 61 is Java 17's.
        boolean wide = System.getProperty("os.name", "").startsWith("Windows")
                && Double.parseDouble(System.getProperty("java.class.version", "52")) >= 61;
        if (encoding == null || wide || !Charset.isSupported(encoding) || Charset.forName(encoding).newEncoder().canEncode(path)) {
            return path;
        }
        throw new IOException(unencodable(path));
    }

    private static String unencodable(String path) {
        return "the cache folder's path " + path + " has characters that this JVM's sun.jnu.encoding ("
                + System.getProperty("sun.jnu.encoding") + ") lacks, so the JVM cannot load a library from it;"
                + " start the JVM with -D" + ZarnWin32.CACHE_PROPERTY + "=<a folder whose path has none>";
    }

    /** Makes a folder of the cache where it is missing; one that is there must be a plain folder. */
    private static void createFolder(Path folder) throws IOException {
        try {
            if (!Files.exists(folder, NOFOLLOW)) {
                Files.createDirectory(folder, ownerOnly());
            }
        } catch (FileAlreadyExistsException e) {
            // Made by another JVM at the same moment: checked below.
        }
        if (!isPlainFolder(folder)) {
            throw linked(folder);
        }
    }

    /**
     * Folders that only the current user may read and write: 0700 on Unix; on Windows an access
     * control list with one entry, full control for the user, inherited by what the folder holds.
     */
    private static FileAttribute<?> ownerOnly() throws IOException {
        FileSystem files = FileSystems.getDefault();
        if (files.supportedFileAttributeViews().contains("posix")) {
            return PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------"));
        }
        UserPrincipal user = files.getUserPrincipalLookupService().lookupPrincipalByName(System.getProperty("user.name"));
        List<AclEntry> acl = Collections.singletonList(AclEntry.newBuilder().setType(AclEntryType.ALLOW).setPrincipal(user)
                .setPermissions(EnumSet.allOf(AclEntryPermission.class))
                .setFlags(AclEntryFlag.FILE_INHERIT, AclEntryFlag.DIRECTORY_INHERIT).build());
        return new FileAttribute<List<AclEntry>>() {
            @Override
            public String name() {
                return "acl:acl";
            }

            @Override
            public List<AclEntry> value() {
                return acl;
            }
        };
    }

    /**
     * A folder, not a link to one. Java reports a Windows junction (a mount point) as "other", and
     * some versions as a folder too; a symbolic link as neither.
     */
    private static boolean isPlainFolder(Path path) {
        try {
            BasicFileAttributes attributes = Files.readAttributes(path, BasicFileAttributes.class, NOFOLLOW);
            return attributes.isDirectory() && !attributes.isOther();
        } catch (IOException e) {
            return false;
        }
    }

    private static boolean isPlainFile(Path path) {
        try {
            return Files.readAttributes(path, BasicFileAttributes.class, NOFOLLOW).isRegularFile();
        } catch (IOException e) {
            return false;
        }
    }

    private static IOException linked(Path path) {
        return new IOException(path + " is a link, a junction or not a plain folder or file; nothing is loaded through it."
                + " Remove it, or start the JVM with -D" + ZarnWin32.CACHE_PROPERTY + "=<another folder>");
    }

    /** An action on a file that Windows may refuse for a moment. */
    interface FileAction<T> {
        T run() throws IOException;
    }

    /**
     * Runs the action, again after a short wait while it fails as when another program has the
     * file open for a moment (a virus scanner or an indexer opens a new file as soon as it is
     * written): up to 1.27 s in all, then the last failure stands. On Windows Java reports access
     * denied as AccessDeniedException, and a sharing or lock violation as a plain
     * FileSystemException, the class of every error it has no class of its own for.
     */
    static <T> T retried(FileAction<T> action) throws IOException {
        for (long wait = 10; ; wait *= 2) {
            try {
                return action.run();
            } catch (IOException e) {
                boolean momentary = e instanceof AccessDeniedException || e.getClass() == FileSystemException.class;
                if (!momentary || wait > 640) {
                    throw e;
                }
            }
            try {
                Thread.sleep(wait);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                throw new IOException("interrupted while waiting for a file", e);
            }
        }
    }

    static MessageDigest sha256() {
        try {
            return MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("every JVM has SHA-256", e);
        }
    }

    /**
     * A file opened so that no other process can write, rename, replace or delete it until it is
     * closed, and read through that very handle. With the options of com.sun.nio.file (in the
     * module jdk.unsupported, which HotSpot JVMs have on the class path, but which a modular
     * application or a jlink runtime has only when it names it), the file is opened without write
     * and delete sharing, and without following a link: Windows then refuses every other open for
     * writing or deleting it. Without them, java.io opens it without delete sharing (no rename,
     * replacement or deletion), and a shared lock over the whole file makes Windows refuse every
     * write to it; byte-range locks do not cover writes through a mapped view of a file that
     * another process had opened for writing. Windows' loader opens a DLL for reading and maps it,
     * which both kinds of handle allow: they share reading, and locks do not apply to mapped views.
     */
    static final class Held implements Closeable {
        private static final OpenOption[] NO_SHARING = noSharing(System.getProperty("os.name", ""));
        private final FileChannel channel;

        private Held(FileChannel channel) {
            this.channel = channel;
        }

        /** Opens and holds the file; waits out a moment's refusal (see retried). */
        static Held open(Path file) throws IOException {
            return retried(() -> NO_SHARING != null ? new Held(FileChannel.open(file, NO_SHARING)) : locked(file));
        }

        private static Held locked(Path file) throws IOException {
            FileInputStream in;
            try {
                in = new FileInputStream(file.toFile());
            } catch (FileNotFoundException e) {
                // java.io reports every failure so; the JDK's own classes tell a missing file.
                throw Files.exists(file, NOFOLLOW) ? new FileSystemException(file.toString(), null, e.getMessage())
                        : new NoSuchFileException(file.toString());
            }
            try {
                in.getChannel().lock(0, Long.MAX_VALUE, true);
                return new Held(in.getChannel());
            } catch (OverlappingFileLockException e) {
                in.close();
                // Another thread of this JVM holds it (another class loader's load): for a moment.
                throw new FileSystemException(file.toString(), null, "held by another thread of this JVM");
            } catch (IOException | RuntimeException e) {
                in.close();
                throw e;
            }
        }

        /**
         * The options that open a file without write and delete sharing, on Windows, when this JVM
         * has them; null otherwise. The file systems of the JDK elsewhere refuse them.
         */
        static OpenOption[] noSharing(String osName) {
            if (!osName.startsWith("Windows")) {
                return null;
            }
            try {
                Class<?> extended = Class.forName("com.sun.nio.file.ExtendedOpenOption");
                return new OpenOption[] {StandardOpenOption.READ, (OpenOption) extended.getField("NOSHARE_WRITE").get(null),
                    (OpenOption) extended.getField("NOSHARE_DELETE").get(null), NOFOLLOW};
            } catch (ReflectiveOperationException | ClassCastException e) {
                return null;
            }
        }

        /** Whether the file's content is exactly the library: sizes first, then the hash. */
        boolean contains(Content library) throws IOException {
            if (channel.size() != library.bytes.length) {
                return false;
            }
            MessageDigest digest = sha256();
            ByteBuffer buffer = ByteBuffer.allocate(65536);
            for (long position = 0; channel.read(buffer, position) > 0; position += buffer.position(), buffer.clear()) {
                buffer.flip();
                digest.update(buffer);
            }
            return MessageDigest.isEqual(digest.digest(), library.hash);
        }

        @Override
        public void close() throws IOException {
            channel.close();
        }
    }
}
