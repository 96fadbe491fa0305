int wWinMain() { return 0; }
