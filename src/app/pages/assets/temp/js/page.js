/* Script of the conversation pages. They need none of their own: voice notes are
   played by the inline playOrPaused function of each page. */
