</main>
<footer class="site">
  <p>Pages seen in this visit: <span id="pages"><?= e($_SESSION['pages']) ?></span>.</p>
</footer>
</body>
</html>
